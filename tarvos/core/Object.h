#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "tarvos/core/Export.h"

namespace Tarvos {

// The root interface of every shared class. An object is kept alive by counted references,
// normally held through Ref<T> (Ref.h). Interfaces derive virtually from Object so that an object
// implementing several of them has exactly one reference count.
//
// The holder argument names the address of the Ref (or other field) that takes or drops the
// reference; ObjectImpl ignores it, diagnostic implementations may record it.
class TARVOS_API Object {
public:
    // Takes a reference on behalf of `holder`.
    virtual void IncRef(const void* holder) = 0;
    // Takes a reference for an unknown holder (holder address -1).
    virtual void IncRef() = 0;
    // Drops a reference taken on behalf of `holder`; the last drop destroys the object.
    virtual void DecRef(const void* holder) = 0;
    // Drops a reference for an unknown holder (holder address -1).
    virtual void DecRef() = 0;
    // A printable identity of the object.
    virtual std::string ToString() const = 0;

protected:
    virtual ~Object() = default;
};

// The standard implementation of Object: an atomic reference count that starts at 0 and destroys
// the object, on the thread that drops the last reference, when it falls back to 0. Every
// 0-to-1 and 1-to-0 transition also feeds the process's live-object census (GetObjectCensus).
//
// Thread-safety: IncRef and DecRef may be called from any thread without a lock.
class TARVOS_API ObjectImpl : public virtual Object {
public:
    ObjectImpl() noexcept = default;
    // A copy is a new object: it starts without references.
    ObjectImpl(const ObjectImpl&) noexcept : Object() {}
    ObjectImpl& operator=(const ObjectImpl&) noexcept { return *this; }

    // An object that was never referenced is deleted by its creator; once referenced, only the
    // last DecRef destroys it.
    virtual ~ObjectImpl();

    void IncRef(const void* holder) override;
    void IncRef() override;
    void DecRef(const void* holder) override;
    void DecRef() override;

    // "[" + demangled most-derived class name + ":" + address in hexadecimal + "]".
    std::string ToString() const override;

    // The current count; for diagnostics and tests only (it may change at once).
    int32_t GetRefCount() const noexcept { return _refCount.load(std::memory_order_relaxed); }

protected:
    // Runs once, after the last reference was dropped and immediately before destruction.
    virtual void OnLastRelease() {}

private:
    std::atomic<int32_t> _refCount{0};
    // Census entry claimed by the 0-to-1 transition, so that the 1-to-0 transition updates the
    // same entry without hashing again (and even if the type seen then would differ, as it does
    // for a reference taken inside a base-class constructor).
    int32_t _censusEntry = -1;
};

// An observer of every reference taken or dropped on an ObjectImpl, installed process-wide for
// diagnostics (the reference tracker). It runs on the thread of the operation, after the count
// changed, with the object's address, the mangled name of its dynamic type (read while the
// object was surely alive), the holder, +1 or -1, and the count after the operation. It may run
// for the same object on several threads at once. A count after of 0 means the object is about
// to be destroyed: the hook runs before OnLastRelease and the destructor. For any other drop the
// object may already be destroyed by another thread: use its address only, never the object.
using RefHook = void (*)(const ObjectImpl* object, const char* typeName, const void* holder,
                         int32_t delta, int32_t countAfter);

// Installs `hook` (null: none). While none is installed, IncRef and DecRef pay one relaxed load
// and a branch for it. A thread that loaded the previous hook may still call it after this
// returns, so a hook must stay callable (and ignore calls it does not want) for the rest of the
// process. Thread-safe.
TARVOS_API void SetRefHook(RefHook hook) noexcept;

// Returns the demangled name of the dynamic type of `object` (the most-derived class).
TARVOS_API std::string GetTypeName(const Object& object);

// Demangles a name from std::type_info::name(); returns the input when it cannot be demangled.
TARVOS_API std::string DemangleTypeName(const char* mangledName);

}  // namespace Tarvos
