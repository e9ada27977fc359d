#include "tarvos/system/internal/WaitEvent.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace Tarvos::System {

namespace {

long Futex(std::atomic<uint32_t>* word, int op, uint32_t value, const timespec* timeout) {
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, value, timeout, nullptr,
                   FUTEX_BITSET_MATCH_ANY);
}

}  // namespace

void WaitEvent::Set() noexcept {
    _state.store(1, std::memory_order_release);
    Futex(&_state, FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr);
}

bool WaitEvent::Wait(int64_t timeoutMillis) noexcept {
    timespec deadline{};
    if (timeoutMillis >= 0) {
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += static_cast<time_t>(timeoutMillis / 1000);
        deadline.tv_nsec += static_cast<long>(timeoutMillis % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
    }
    while (_state.load(std::memory_order_acquire) == 0) {
        if (timeoutMillis == 0) {
            return false;
        }
        // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline, so spurious wake-ups
        // do not stretch the time-out.
        const long rc =
            Futex(&_state, FUTEX_WAIT_BITSET_PRIVATE, 0, timeoutMillis >= 0 ? &deadline : nullptr);
        if (rc != 0 && errno == ETIMEDOUT) {
            return IsSet();
        }
    }
    return true;
}

}  // namespace Tarvos::System
