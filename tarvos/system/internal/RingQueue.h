#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace Tarvos::System {

// A first-in first-out queue on one circular array whose capacity is a power of two.
//
// Unlike std::deque it allocates nothing while it stays within its high-water mark: a queue fed
// by one thread and drained by another would otherwise allocate a block on the producer and free
// it on the consumer every few dozen items, and the two threads would meet on the allocator's
// locks. Capacity doubles when full; a queue that runs empty after a burst gives most of its
// storage back (kKeepCapacity slots stay), so memory stays bounded by recent use.
//
// T must be default-constructible and movable; a slot left behind by PopFront holds a
// default-constructed value, so no reference outlives its removal. Not thread-safe: the owner
// guards it.
template <class T>
class RingQueue {
public:
    static constexpr size_t kKeepCapacity = 1024;

    bool Empty() const noexcept { return _size == 0; }
    size_t Size() const noexcept { return _size; }

    T& Front() noexcept { return _slots[_head]; }

    void PushBack(T&& value) {
        if (_size == _slots.size()) {
            Grow();
        }
        _slots[(_head + _size) & (_slots.size() - 1)] = std::move(value);
        ++_size;
    }

    // Moves the first element out.
    T PopFront() {
        T value = std::move(_slots[_head]);
        _slots[_head] = T();
        _head = (_head + 1) & (_slots.size() - 1);
        if (--_size == 0) {
            _head = 0;
            if (_slots.size() > kKeepCapacity) {
                std::vector<T>(kKeepCapacity).swap(_slots);
            }
        }
        return value;
    }

    void Swap(RingQueue& other) noexcept {
        _slots.swap(other._slots);
        std::swap(_head, other._head);
        std::swap(_size, other._size);
    }

    // Calls f on every element, first to last.
    template <class F>
    void ForEach(F&& f) {
        for (size_t i = 0; i < _size; ++i) {
            f(_slots[(_head + i) & (_slots.size() - 1)]);
        }
    }

private:
    void Grow() {
        std::vector<T> bigger(_slots.empty() ? 64 : _slots.size() * 2);
        for (size_t i = 0; i < _size; ++i) {
            bigger[i] = std::move(_slots[(_head + i) & (_slots.size() - 1)]);
        }
        _slots.swap(bigger);
        _head = 0;
    }

    std::vector<T> _slots;  // size 0 or a power of two
    size_t _head = 0;
    size_t _size = 0;
};

}  // namespace Tarvos::System
