#pragma once

#include <semaphore.h>
#include <sys/epoll.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tarvos/core/Ref.h"
#include "tarvos/service/Config.h"
#include "tarvos/service/Logger.h"
#include "tarvos/system/LockableObjectImpl.h"
#include "tarvos/system/ThreadPool.h"
#include "tarvos/system/internal/AsyncIo.h"
#include "tarvos/system/internal/RingQueue.h"
#include "tarvos/system/internal/ThreadPosix.h"
#include "tarvos/system/internal/TimerWheel.h"

namespace Tarvos::System {

// The platform thread pool (design note in ThreadPoolPosix.cpp).
class TARVOS_INTERNAL ThreadPoolPosix final : public ThreadPool, public LockableObjectImpl {
public:
    explicit ThreadPoolPosix(const Ref<Service::Config::View>& config);
    ~ThreadPoolPosix() override;

    void QueueWork(Ref<Task> task) override;
    void PostCallback(uintptr_t arg1, uintptr_t arg2, PostedCallback callback) override;
    void ScheduleTimer(const Ref<Task>& task, int64_t delayMicros,
                       Ref<ScheduledItem>& item) override;
    void AddPollable(const Ref<Task>& callback, int fd, Ref<ScheduledItem>& item) override;
    void EnterThread() override;
    void LeaveThread() override;
    bool RunThread() override;
    void Shutdown() override;
    bool IsShuttingDown() const override;
    bool Drain(int64_t timeoutMicros) override;
    int AllocThreadLocalIndex() override;
    void FreeThreadLocalIndex(int index) override;
    void StartDedicatedThread(const Ref<Task>& task, Ref<Thread>& thread) override;
    bool WaitForThreads(int64_t timeoutMicros) override;

    // Binds `fd` to the completion queue; its completions go to `handler` (key 1).
    void AssociateHandle(int fd, const Ref<IoCompletionHandler>& handler,
                         Ref<IoRegistration>& registration);
    // Asks the timer thread to report the end of the non-blocking connect on `fd` (key 2). The
    // descriptor must not be registered already (assertion).
    void RegisterConnect(int fd, const Ref<ConnectCallback>& callback);
    // Withdraws a connect registration (for a socket closed while connecting); false when none.
    bool CancelConnect(int fd);
    // Lets the pool start a replacement worker before the calling pool thread blocks.
    void PrepareToWait();

    // The pool of the calling thread's PrepareToWait; WrongThreadException off the pool.
    static void PrepareCurrentThreadToWait();
    // Before a pool thread blocks outside the pool's primitives (poll on a descriptor): hands
    // the completions it deferred to itself to the other workers (invariant 10) and its poller
    // role to a worker on standby (invariant 11).
    static void CurrentThreadBlocks();
    // The pool of the calling thread, or null.
    static ThreadPoolPosix* CurrentPool() noexcept;

    int32_t GetTaskMax() const noexcept { return _taskMax; }
    int32_t GetIoMin() const noexcept { return _ioMin; }
    int32_t GetIoMax() const noexcept { return _ioMax; }

private:
    friend class IoRegistration;
    friend class ScheduledPollableImpl;

    // An entry of the completion queue that was posted rather than reported by epoll.
    struct Posted {
        int key = 4;
        // key 1: an I/O completion known without waiting.
        Ref<IoRegistration> registration;
        IoOperation* operation = nullptr;
        int64_t bytes = 0;
        int error = 0;
        // key 2: the end of a connect (error as above).
        Ref<ConnectCallback> connect;
        // key 3: PostCallback.
        PostedCallback callback = nullptr;
        uintptr_t arg1 = 0;
        uintptr_t arg2 = 0;
    };

    // A slot of the registration table; epoll events carry (generation << 32 | index), so an
    // event that arrives after its registration was withdrawn finds another generation.
    struct IoSlot {
        uint32_t generation = 0;
        Ref<IoRegistration> registration;
    };

    struct PollableItem {
        int fd;
        Ref<Task> callback;
    };

    // One of at most three threads waiting on pollables.
    struct PollableThread final : public ObjectImpl {
        int wakeFd = -1;
        std::map<uint64_t, PollableItem> items;  // guarded by the pool mutex
        ~PollableThread() override;
    };

    // A readiness event and the poll epoch at which its epoll_wait was entered.
    struct ReadyEvent {
        epoll_event event;
        uint64_t epoch;
    };

    // The queued tasks, under a lock of their own so that QueueWork adds one without the pool
    // mutex (invariant 12); any thread may push or take at any time. The size is mirrored in an
    // atomic whose operations are sequentially consistent: a push, followed by the pusher's
    // read of _taskThreads, orders against a worker's change of _taskThreads followed by its
    // look at the queue. On a cache line of its own, away from the pool's counters.
    class alignas(64) TaskQueue {
    public:
        bool Empty() const noexcept { return _size.load() == 0; }
        void Push(Ref<Task>&& task);
        // Moves up to `max` tasks, oldest first, into `out`; returns how many.
        size_t Take(Ref<Task>* out, size_t max);
        void Swap(RingQueue<Ref<Task>>& other);

    private:
        // A spin lock (SpinGuard), held for a few stores (a push) or a few moves (a take).
        std::atomic_flag _busy;
        RingQueue<Ref<Task>> _queue;  // guarded by _busy
        std::atomic<size_t> _size{0};
    };

    // A scheduled timer; the timer queue and the caller's item share it.
    class TimerEntry;
    using TimerItem = TimerWheel<Ref<TimerEntry>>::Item;

    // All of the following run with the pool mutex held.
    bool CanTakeTaskLocked() const noexcept;
    // Whether the task rule would let one more thread take a task, were one queued.
    bool CanTakeTaskIfQueuedLocked() const noexcept;
    // Marks that new work was queued or posted.
    void BumpWorkEpochLocked() noexcept;
    // Waits without the mutex until _workEpoch leaves `epoch` (true) or kSpinMicros passed.
    bool SpinForWork(uint64_t epoch) const noexcept;
    void QueueWorkLocked(Ref<Task>&& task);
    // The thread start rule for queued tasks: start a worker, or wake a sleeping one.
    void GrowForBacklogLocked();
    void StartWorkerLocked();
    // Idle workers that are not blocked in epoll_wait: they look at the queues before sleeping.
    int32_t AwakeIdleThreadsLocked() const noexcept;
    // Wakes one sleeping worker unless an idle worker is awake or a wake-up is in flight.
    void KickLocked();
    // Takes the poller role from `thread` if it holds one; a worker on standby takes it up
    // (invariant 11).
    void LeavePollerRoleLocked(ThreadPosix* thread);
    void WakeStandbyLocked();
    void WaitOnStandby();
    // Arms the hand-over watch for `due` unless it is armed; the timer thread must run.
    void ArmHandOverLocked(int64_t due);
    // On the timer thread: hands over the roles of pollers that dispatch for too long.
    void HandOverStalledRoles();
    // The thread start rule for completion-queue entries: a worker must be free for them.
    void EnsureIoWorkerLocked();
    // Posts a completion (keys 1 and 2) after applying that rule.
    void PostCompletionLocked(Posted&& entry);
    void PostLocked(Posted&& entry);
    // Arms _timerFd for `due` (INT64_MAX: disarms); requires _timerMutex.
    void ArmTimerLocked(int64_t due);
    void StartTimerThreadLocked();
    uint64_t AddIoSlotLocked(IoRegistration* registration);
    void ReleaseIoSlot(uint64_t slotKey);

    void PostIoCompletion(const Ref<IoRegistration>& registration, IoOperation* operation,
                          int64_t bytes, int error);
    void RemoveIo(int fd);
    uint64_t GetPollEpoch() const noexcept { return _pollEpoch.load(std::memory_order_seq_cst); }

    void Dispatch(Posted& entry);
    // Performs what a readiness event of a registered descriptor allows. Pool mutex held on
    // entry and exit, released meanwhile.
    void DispatchReadyLocked(const ReadyEvent& ready);
    // Dispatch with the completions it causes deferred to this worker, then RunDeferred.
    void DispatchDeferring(Posted& entry);
    // Runs what this worker deferred to itself (invariant 10) and ends the deferring.
    void RunDeferred();
    // Moves what this worker deferred to itself to _posted, for any worker. Pool mutex not held.
    void ShareDeferred();
    void DispatchIoCompletion(IoRegistration& registration, IoOperation* operation, int64_t bytes,
                              int error);
    void RunTask(Ref<Task>& task);
    // Drops the reference; an exception from the task's destructor is reported.
    void ReleaseTask(Ref<Task>& task);
    // Runs `taken` tasks from `tasks`, then what is queued meanwhile, with the pool mutex not
    // held and a task slot counted for this worker. `mayLinger`: the worker may wait briefly
    // for the next task before it gives the slot up.
    void RunTasks(Ref<Task>* tasks, size_t taken, bool mayLinger);
    // How many tasks a worker takes at once: a batch when the pool runs one task at a time
    // (the order stays the same), else one, so that free slots share a backlog.
    size_t TaskBatch() const noexcept;
    // Spins up to kSpinMicros for a task to be queued, keeping this worker's task slot, and
    // when one comes lets more gather for kGatherMicros; false when none came or another worker
    // already lingers.
    bool LingerForTask() noexcept;
    void ReportUnhandled(const char* where);

    void WorkerMain(const Ref<ThreadPosix>& self);
    void TimerThreadMain();
    void PollableThreadMain(const Ref<PollableThread>& info);
    void HandleConnectEvents();
    // Removes the connect registration of `fd`; null when there is none. Pool mutex held.
    Ref<ConnectCallback> TakeConnectLocked(int fd);
    void FireDueTimers();
    void ThreadStarted();
    void ThreadEnded();
    void LaunchThread(std::string name, std::function<void()> body);

    bool CancelPollable(PollableThread& thread, uint64_t id);

    // Fixed at construction.
    int32_t _taskMax = 10;
    int32_t _ioMin = 1;
    int32_t _ioMax = 21;
    std::string _comModel;
    Ref<Service::Logger> _logger;
    int _epollFd = -1;         // the completion queue
    int _postFd = -1;          // eventfd: readable while _posted is not empty
    int _timerFd = -1;         // timerfd armed for the earliest due timer
    int _timerWakeFd = -1;     // eventfd that wakes the timer thread
    int _connectEpollFd = -1;  // sockets with a connect in progress, watched by the timer thread
    int _handOverFd = -1;      // timerfd: a poller may have dispatched for too long

    // Guarded by the pool mutex (LockableObjectImpl).
    int32_t _totalThreads = 0;
    int32_t _busyThreads = 0;
    // Written under the mutex; QueueWork reads it without (invariant 12).
    std::atomic<int32_t> _taskThreads{0};
    int32_t _sleepingThreads = 0;  // workers blocked in epoll_wait
    bool _kickPending = false;     // a wake-up was written and no worker took it yet
    // A worker spins for new work (invariant 9); written under the mutex, QueueWork reads it
    // without (invariant 12).
    std::atomic<bool> _spinnerActive{false};
    std::atomic<uint64_t> _workEpoch{0};  // changed under the mutex, read by the spinner
    bool _ioRegistered = false;
    // Invariant 11: the poller roles held and available; the idle workers waiting on _standby;
    // the posts to _standby not yet taken; whether _handOverFd is armed.
    int32_t _pollers = 0;
    int32_t _pollerMax = 1;
    int32_t _standbyThreads = 0;
    int32_t _standbyWakes = 0;
    bool _handOverArmed = false;
    sem_t _standby;
    std::atomic<bool> _shuttingDown{false};  // written under the mutex, read anywhere
    TaskQueue _tasks;
    std::atomic<bool> _taskLinger{false};  // a worker holds its task slot spinning (RunTasks)
    RingQueue<Posted> _posted;
    RingQueue<ReadyEvent> _readyEvents;  // taken by one epoll_wait beyond its first event
    // Raised by every worker as it enters epoll_wait (IoRegistration::_directReadEpoch).
    std::atomic<uint64_t> _pollEpoch{0};
    // The completions the calling worker deferred to itself (invariant 10).
    static thread_local RingQueue<Posted> t_deferred;
    std::atomic<bool> _timerThreadStarted{false};  // set under the pool mutex
    std::unordered_map<int, Ref<ConnectCallback>> _connects;
    std::vector<Ref<PollableThread>> _pollableThreads;
    uint64_t _pollableSequence = 0;
    std::unordered_map<int64_t, Ref<ThreadPosix>> _threads;  // by kernel thread id
    std::vector<IoSlot> _ioSlots;
    std::vector<uint32_t> _freeIoSlots;

    // New timers, under their own lock so that scheduling contends neither with the workers
    // nor with the timer thread's queue work.
    std::mutex _timerMutex;
    std::vector<TimerItem> _incoming;       // guarded by _timerMutex
    int64_t _incomingEarliest = INT64_MAX;  // guarded by _timerMutex
    uint64_t _timerSequence = 0;            // guarded by _timerMutex
    int64_t _armedDue = INT64_MAX;          // guarded by _timerMutex; INT64_MAX: disarmed
    // The timer thread's own: its timer queue (cancelled timers stay until they come due or
    // are swept) and buffers for taking _incoming over and for the due timers.
    TimerWheel<Ref<TimerEntry>> _timers;
    std::vector<TimerItem> _spareTimers;
    std::vector<TimerItem> _dueTimers;

    // Thread-local slot indices, under their own lock.
    std::mutex _localsMutex;
    std::vector<int> _nextFreeLocal;
    std::vector<bool> _localInUse;
    int _freeLocalHead = -1;

    // Threads the pool started and that have not ended yet.
    std::mutex _liveMutex;
    std::condition_variable _liveChanged;
    int32_t _liveThreads = 0;
};

}  // namespace Tarvos::System
