#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>

namespace Tarvos::Service {

class StackTraceManager;

namespace internal {

// The manager while the stack tracer is on, null while it is off. Set with release and read
// with acquire, so a scope that sees the manager sees it fully made.
extern std::atomic<StackTraceManager*> g_activeStackTraceManager;

// Microseconds on CLOCK_MONOTONIC: immune to wall-clock changes, so an elapsed time is never
// negative.
inline int64_t MonotonicMicros() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

}  // namespace internal
}  // namespace Tarvos::Service
