#pragma once

#include <concepts>
#include <cstddef>
#include <functional>
#include <utility>

#include "tarvos/core/Object.h"

namespace Tarvos {

// U* converts to T* (U is T or derives from it).
template <class U, class T>
concept PointerConvertibleTo = std::convertible_to<U*, T*>;

// A counted reference to an Object-derived T, possibly null.
//
// Every reference taken or dropped through a Ref names the Ref's own address as holder. Copying
// takes a reference; moving transfers the one reference without touching the count; assigning
// the pointer already held does nothing; assigning another pointer stores it, then takes the new
// reference, then drops the old one. Reset stores null before dropping the old reference, so that
// code run by the destruction sees the Ref already empty.
//
// Thread-safety: distinct Refs to one object may be copied and destroyed on any threads at once;
// one Ref instance is externally synchronised, like any value.
template <class T>
class Ref {
public:
    using element_type = T;

    constexpr Ref() noexcept = default;
    constexpr Ref(std::nullptr_t) noexcept {}
    Ref(T* object) : _ptr(object) {
        if (_ptr) {
            _ptr->IncRef(this);
        }
    }
    Ref(const Ref& other) : _ptr(other._ptr) {
        if (_ptr) {
            _ptr->IncRef(this);
        }
    }
    template <PointerConvertibleTo<T> U>
    Ref(const Ref<U>& other) : _ptr(other.Get()) {
        if (_ptr) {
            _ptr->IncRef(this);
        }
    }
    Ref(Ref&& other) noexcept : _ptr(other._ptr) { other._ptr = nullptr; }
    template <PointerConvertibleTo<T> U>
    Ref(Ref<U>&& other) noexcept : _ptr(other.Release()) {}

    ~Ref() {
        if (_ptr) {
            _ptr->DecRef(this);
        }
    }

    Ref& operator=(const Ref& other) {
        Assign(other._ptr);
        return *this;
    }
    template <PointerConvertibleTo<T> U>
    Ref& operator=(const Ref<U>& other) {
        Assign(other.Get());
        return *this;
    }
    Ref& operator=(T* object) {
        Assign(object);
        return *this;
    }
    Ref& operator=(std::nullptr_t) {
        Reset();
        return *this;
    }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            T* old = _ptr;
            _ptr = other._ptr;
            other._ptr = nullptr;
            if (old) {
                old->DecRef(this);
            }
        }
        return *this;
    }

    // Drops the reference, if any; the Ref is null before the object learns of it.
    void Reset() {
        T* old = _ptr;
        _ptr = nullptr;
        if (old) {
            old->DecRef(this);
        }
    }

    T* Get() const noexcept { return _ptr; }
    T* operator->() const noexcept { return _ptr; }
    T& operator*() const noexcept { return *_ptr; }
    explicit operator bool() const noexcept { return _ptr != nullptr; }
    bool IsNull() const noexcept { return _ptr == nullptr; }

    // Takes over a reference that the caller already holds on `object` (from Release or an
    // explicit IncRef) without taking another.
    [[nodiscard]] static Ref Adopt(T* object) noexcept {
        Ref adopted;
        adopted._ptr = object;
        return adopted;
    }

    // Gives up the reference without dropping it; the caller owns it (used by moves between
    // Ref types). Holder tracking sees the reference stay with its original holder.
    [[nodiscard]] T* Release() noexcept {
        T* p = _ptr;
        _ptr = nullptr;
        return p;
    }

    friend bool operator==(const Ref& a, const Ref& b) noexcept { return a._ptr == b._ptr; }
    friend bool operator==(const Ref& a, std::nullptr_t) noexcept { return a._ptr == nullptr; }
    friend bool operator==(const Ref& a, const T* b) noexcept { return a._ptr == b; }
    friend auto operator<=>(const Ref& a, const Ref& b) noexcept {
        return std::compare_three_way()(a._ptr, b._ptr);
    }

private:
    void Assign(T* object) {
        if (object == _ptr) {
            return;
        }
        T* old = _ptr;
        _ptr = object;
        if (object) {
            object->IncRef(this);
        }
        if (old) {
            old->DecRef(this);
        }
    }

    T* _ptr = nullptr;
};

// Casts a reference down or across the class tree; null when the object is not a U.
template <class U, class T>
Ref<U> RefCast(const Ref<T>& from) {
    return Ref<U>(dynamic_cast<U*>(from.Get()));
}

}  // namespace Tarvos

template <class T>
struct std::hash<Tarvos::Ref<T>> {
    size_t operator()(const Tarvos::Ref<T>& r) const noexcept { return std::hash<T*>()(r.Get()); }
};
