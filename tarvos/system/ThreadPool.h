#pragma once

#include <cstdint>

#include "tarvos/core/Ref.h"
#include "tarvos/system/ScheduledItem.h"
#include "tarvos/system/Task.h"
#include "tarvos/system/Thread.h"

namespace Tarvos::System {

// The process's pool of threads: queued tasks, timers, one-shot waits on descriptors
// (pollables) and completions of asynchronous I/O all run on its worker threads. Made by
// SystemFactory::CreateThreadPool from the configuration keys "TaskMax" (default 10), "IoMin"
// (1), "IoMax" (2 * TaskMax + 1) and "initializeCOM".
//
// The pool's threads keep it alive: call Shutdown (and WaitForThreads) to end them.
// Safe for concurrent use. No pool lock is held while a task or callback runs.
class TARVOS_API ThreadPool : public virtual Object {
public:
    using PostedCallback = void (*)(uintptr_t arg1, uintptr_t arg2);

    // Appends a task to the task queue; ignored once the pool shuts down. Taken by value: a
    // temporary (QueueWork(MakeTask(...))) moves in without touching its reference count.
    virtual void QueueWork(Ref<Task> task) = 0;
    // Runs callback(arg1, arg2) on a worker as a completion-queue entry, outside the task rule.
    virtual void PostCallback(uintptr_t arg1, uintptr_t arg2, PostedCallback callback) = 0;
    // Queues `task` once after `delayMicros` (>= 0, else InvalidArgumentException). Timers with
    // equal due times run in the order in which they were scheduled.
    virtual void ScheduleTimer(const Ref<Task>& task, int64_t delayMicros,
                               Ref<ScheduledItem>& item) = 0;
    // Queues `callback` once when descriptor `fd` becomes readable (an eventfd, pipe, pidfd,
    // timerfd or socket). The caller keeps the descriptor open until the item fired or was
    // cancelled. At most 3 * 63 pollables at a time (NotSupportedException beyond).
    virtual void AddPollable(const Ref<Task>& callback, int fd, Ref<ScheduledItem>& item) = 0;
    // Makes the calling thread a thread of this pool; nests by count.
    virtual void EnterThread() = 0;
    // Undoes one EnterThread.
    virtual void LeaveThread() = 0;
    // Serves as a worker until the pool shuts down; then returns false.
    virtual bool RunThread() = 0;
    // Stops the pool for good: queued tasks are dropped without running, workers leave their
    // loops. Does not wait for the threads.
    virtual void Shutdown() = 0;
    virtual bool IsShuttingDown() const = 0;
    // Called by the application as its last step with the pool; returns false without waiting.
    virtual bool Drain(int64_t timeoutMicros) = 0;
    // A new thread-local slot index for Thread::GetThreadLocal/SetThreadLocal.
    virtual int AllocThreadLocalIndex() = 0;
    virtual void FreeThreadLocalIndex(int index) = 0;
    // Runs `task` on a new thread of its own that is a thread of this pool while it runs.
    virtual void StartDedicatedThread(const Ref<Task>& task, Ref<Thread>& thread) = 0;
    // Waits at most `timeoutMicros` (negative: without limit) until every thread the pool
    // started (workers, timer, pollable and dedicated threads) has ended, as they do after
    // Shutdown; true when they all have. Host threads that entered the pool are not waited for.
    virtual bool WaitForThreads(int64_t timeoutMicros) = 0;
};

}  // namespace Tarvos::System
