#pragma once

#include <atomic>
#include <cstdint>

namespace Tarvos::System {

// A manual-reset event on a futex word: Set signals it until Reset. Each thread owns one for its
// condition waits (ConditionPosix); other threads only Set it.
class WaitEvent {
public:
    // Signals the event and wakes its waiter.
    void Set() noexcept;
    void Reset() noexcept { _state.store(0, std::memory_order_relaxed); }
    bool IsSet() const noexcept { return _state.load(std::memory_order_acquire) != 0; }
    // Waits until set or until `timeoutMillis` passed (negative: no limit); returns IsSet().
    bool Wait(int64_t timeoutMillis) noexcept;

private:
    std::atomic<uint32_t> _state{0};
};

}  // namespace Tarvos::System
