#pragma once

#include <cstdint>

#include "tarvos/core/Ref.h"

namespace Tarvos::System {

class ThreadPool;

// A thread that runs library code: a pool worker, a pool's timer, pollable or dedicated thread,
// or a host thread that entered a pool. Thread-local values are references kept per slot index
// (indices from ThreadPool::AllocThreadLocalIndex, 0 to 100000).
//
// Thread-safety: GetThreadPool, Join, TimedJoin and GetThreadId may be called from any thread;
// the thread-local values belong to the thread itself and are externally synchronised.
class TARVOS_API Thread : public virtual Object {
public:
    static constexpr int kMaxThreadLocalIndex = 100000;

    // The calling thread's Thread; throws WrongThreadException on a thread that is not in a pool.
    static Ref<Thread> GetCurrent();
    // The same without a reference or an exception: null when the thread is not in a pool.
    static Thread* TryGetCurrent() noexcept;

    virtual Ref<ThreadPool> GetThreadPool() const = 0;
    // Sleeps for `micros` (whole milliseconds, truncated).
    virtual void Sleep(int64_t micros) = 0;
    // Waits without limit for the thread's end.
    virtual void Join() = 0;
    // Waits at most `micros` (whole milliseconds) for the thread's end; throws
    // PosixSystemException with ETIMEDOUT when it is still running then.
    virtual void TimedJoin(int64_t micros) = 0;
    // The value in slot `index`, or null for a negative index or one never set.
    virtual Ref<Object> GetThreadLocal(int index) const = 0;
    // Stores a value; an index above kMaxThreadLocalIndex is an assertion failure.
    virtual void SetThreadLocal(int index, const Ref<Object>& value) = 0;
    // The kernel thread id.
    virtual int64_t GetThreadId() const = 0;
};

}  // namespace Tarvos::System
