#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "tarvos/core/Object.h"
#include "tarvos/core/Ref.h"
#include "tarvos/system/Thread.h"
#include "tarvos/system/internal/WaitEvent.h"

namespace Tarvos::System {

class ThreadPoolPosix;

// A thread of a ThreadPoolPosix: one the pool started (worker or dedicated), or a host thread
// that entered the pool. The calling thread's object is found through a thread-local pointer
// that is set while the thread is in the pool.
class ThreadPosix final : public Thread, public ObjectImpl {
public:
    ThreadPosix(const Ref<ThreadPoolPosix>& pool, bool startedByPool);
    ~ThreadPosix() override;

    Ref<ThreadPool> GetThreadPool() const override;
    void Sleep(int64_t micros) override;
    void Join() override;
    void TimedJoin(int64_t micros) override;
    Ref<Object> GetThreadLocal(int index) const override;
    void SetThreadLocal(int index, const Ref<Object>& value) override;
    int64_t GetThreadId() const override { return _threadId.load(std::memory_order_acquire); }

    ThreadPoolPosix* GetPool() const noexcept { return _pool.Get(); }
    bool IsStartedByPool() const noexcept { return _startedByPool; }

    // The calling thread's object, or null.
    static ThreadPosix* Current() noexcept;
    static void SetCurrent(ThreadPosix* thread) noexcept;

    // Pool-internal bookkeeping (guarded by the pool's mutex).
    int32_t _entryCount = 0;
    // Set for a worker the pool started: the pool counted it in totalThreads when it started
    // the thread, so its first RunThread must not count it again.
    bool _countedAtStart = false;
    // A worker holding one of the pool's poller roles (ThreadPoolPosix invariant 11), and when
    // it last left epoll_wait to dispatch (0 while it waits there).
    bool _poller = false;
    int64_t _pollerBusySince = 0;

    void SetThreadId(int64_t id) noexcept { _threadId.store(id, std::memory_order_release); }
    // The thread has ended (a started thread) or left the pool for good (an entered one).
    void MarkEnded() noexcept { _ended.Set(); }

private:
    const Ref<ThreadPoolPosix> _pool;
    const bool _startedByPool;
    std::atomic<int64_t> _threadId{0};
    WaitEvent _ended;
    // Confined to the thread itself.
    std::vector<Ref<Object>> _locals;
};

}  // namespace Tarvos::System
