// The thread pool.
//
// Work kinds and where they wait:
//   tasks        _tasks (FIFO, under a spin lock of its own), run by workers under the task
//                rule
//   completions  the completion queue: an epoll instance (_epollFd) holding the registered
//                descriptors (key 1, edge-triggered) and _postFd, an edge-triggered eventfd written
//                to wake one sleeping worker (a key-4 wake-up) for _posted (keys 1, 2 and 3
//                posted by threads) or for queued tasks
//   timers       ScheduleTimer appends to _incoming under _timerMutex (constant time); the
//                timer thread merges _incoming into its own queue _timers (a wheel of 100 us
//                slots over 409.6 ms and a heap beyond, on CLOCK_MONOTONIC), waits on _timerFd
//                (armed for the earliest due time), _timerWakeFd and _connectEpollFd, and moves
//                due tasks into _tasks in (due, sequence) order
//   pollables    up to three pollable threads, each poll(2)-ing at most 63 descriptors and its
//                wake eventfd; a fired pollable's callback is moved into _tasks once
//
// Counters (all under the pool mutex): totalThreads are workers in (or started towards) the
// worker loop, taskThreads run a task, busyThreads dispatch a completion-queue entry,
// sleepingThreads are blocked in epoll_wait, standbyThreads wait on _standby (invariant 11);
// ioThreads = total - task, idle = ioThreads - busy.
//
// Worker loop (RunThread): run tasks while the task rule allows (queue not empty, taskThreads <
// TaskMax, and either no descriptor was ever registered or total - task > IoMin); then take one
// completion-queue entry (a posted one, else a readiness event left in _readyEvents, else, as a
// poller, epoll_wait for up to 10 s, taking up to kEventBatch events and leaving all but the
// first in _readyEvents) and dispatch it with busyThreads raised; a worker that finds every
// poller role taken stands by instead; repeat until shutdown.
//
// Invariants:
//  1. No pool lock is held while a task, a completion, a callback or a log line runs.
//  2. A worker looks at _tasks, _posted and _readyEvents under the pool mutex immediately before
//     it registers as sleeping and leaves the mutex for epoll_wait; a waker decides under the
//     same mutex. So work queued while a worker goes to sleep is either seen by it or wakes a
//     sleeper.
//  3. A wake-up is sent only when no idle worker is awake to see the new work, and at most one
//     is in flight (_kickPending): a burst of work wakes one sleeper, and each worker that takes
//     work while more is waiting wakes the next. Wake-ups never pile up in the eventfd.
//  4. A started worker counts in _totalThreads from the moment it is started, so a burst of
//     QueueWork cannot start threads without bound; every start also respects
//     totalThreads < TaskMax + IoMax.
//  5. Epoll events of registered descriptors name a slot by (generation, index); a registration
//     withdrawn from its slot is never reached through a stale event.
//  6. After Shutdown nothing new runs: queued tasks, timers and pollables are dropped, later
//     submissions are ignored, and every pool thread leaves its loop. What was already in flight
//     ends instead of being stranded: every registration is cancelled, so each pending I/O
//     operation completes with CanceledException, and the leaving workers dispatch what is in
//     _posted (up to kShutdownDrainLimit entries each) before they go; while another worker
//     still runs a callback or a task, they stay for what it may post and then wait for. An
//     entry posted when no worker is left is dropped.
//  7. Lock order: the pool mutex before _timerMutex; the timer thread never holds both.
//  8. A timer's task is taken exactly once, by an atomic exchange: by the timer thread when it
//     fires or by Cancel, never both. _timerFd is armed only under _timerMutex, never later
//     than the earliest due time in _incoming or _timers plus one granularity.
//  9. At most one worker spins (_spinnerActive) for up to kSpinMicros before sleeping, only when
//     the task rule would let it take a task, only while work came soon after its last sleep,
//     and only in a pool without registered descriptors (readiness does not end a spin, and
//     under I/O load the spinning would take the processor from the work itself); it counts
//     as awake and idle meanwhile, so no wake-up is sent for work it will see (_workEpoch
//     changes with every queued task or posted entry).
// 10. A completion posted by a worker while it dispatches a completion (t_deferringPool is this
//     pool) goes to that worker's own queue (t_deferred) and runs on it right after the
//     dispatch returns, without the pool mutex or a wake-up: an echo's write that completes at
//     once runs its callback on the thread that issued it, after that thread's callback. Only
//     kDeferredBudget such entries run in a row; the rest, and all of them when the worker is
//     about to block (PrepareToWait), move to _posted where any worker takes them.
// 11. Once a descriptor is registered, at most _pollerMax workers (half the processors, at
//     least one) hold a poller role; only they wait in epoll_wait. A poller keeps its role while
//     it dispatches what it took, so under load one worker takes batch after batch the way a
//     single-threaded event loop would, with no wake-ups in between: each event arriving while
//     workers wait in epoll_wait wakes one of them, and on a small machine those wake-ups, not
//     the work, took the time. Other idle workers stand by on _standby and are woken for a task
//     or a vacant role (KickLocked). A poller gives its role up before it runs a task, when it
//     is about to block (PrepareToWait, CurrentThreadBlocks) and when it leaves; and when it has
//     been away from epoll_wait for kHandOverMicros (a callback that computes or blocks on
//     something the pool does not know of), the timer thread takes the role from it
//     (HandOverStalledRoles) and a worker on standby, or a new one, polls instead.
// 12. QueueWork adds the task to _tasks (under its own spin lock, not the pool mutex), then
//     reads _taskThreads and _spinnerActive. When every task slot is held, or a worker spins
//     for work, it is done: no other worker could take the task and none is started for it. A
//     worker holding a task slot goes on taking tasks from _tasks without the pool mutex
//     (RunTasks), and before it gives the slot up it lowers _taskThreads and then looks at
//     _tasks under the pool mutex; the spinner clears _spinnerActive and then looks likewise.
//     Both sides use sequentially consistent operations, so either the producer sees the slot
//     freed and takes the pool mutex to wake or start a worker as before, or the worker sees
//     the task. So a steady stream of tasks reaches a busy worker without either side taking
//     the pool mutex. A worker that ran tasks queued while it worked lingers, holding its slot,
//     for up to kSpinMicros after the queue runs dry (one worker at a time, only in a pool
//     without registered descriptors, as for invariant 9); when a task comes it lets others
//     gather for kGatherMicros and takes them together. With one task slot a worker takes up
//     to kTaskBatch tasks at once, which changes no order, as they would run one after another
//     on it anyway.

#include "tarvos/system/internal/ThreadPoolPosix.h"

#include <poll.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <typeinfo>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Panic.h"
#include "tarvos/service/Log.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/SystemFactoryImpl.h"

namespace Tarvos::System {

using Service::Log;
namespace LogLevel = Service::LogLevel;

namespace {

constexpr uint64_t kPostedKey = ~0ull;  // epoll data of _postFd
constexpr int kWorkerWaitMillis = 10000;
constexpr int kPollablesPerThread = 63;
constexpr int kMaxPollableThreads = 3;
// How long an idle worker waits for new work before it sleeps, and how soon after sleeping new
// work must have come for that wait to be worth it next time.
constexpr int64_t kSpinMicros = 20;
constexpr int64_t kSpinWorthMicros = 200;
// How long a worker that holds its task slot lets newly queued tasks gather before it takes
// them (RunTasks).
constexpr int64_t kGatherMicros = 2;
// How many completions a worker defers to itself in a row before it shares them (invariant 10).
constexpr int kDeferredBudget = 32;
// How many posted entries a worker still dispatches when it leaves at shutdown (invariant 6): a
// callback that keeps reissuing cancelled operations must not hold it for ever.
constexpr int kShutdownDrainLimit = 100000;
// How often a leaving worker that stays for the busy ones looks whether they are done.
constexpr int kShutdownRecheckMillis = 2;
// Readiness events one epoll_wait may take; those beyond the first wait in _readyEvents.
constexpr int kEventBatch = 16;
// How many tasks a worker takes under one lock when the pool runs one task at a time.
constexpr size_t kTaskBatch = 32;
// How long a poller may dispatch before the timer thread hands its role to another worker
// (invariant 11).
constexpr int64_t kHandOverMicros = 1000;
// The pool whose completion the calling worker is dispatching, or null (invariant 10).
thread_local ThreadPoolPosix* t_deferringPool = nullptr;
// Timers due within this many microseconds of each other may be fired together; it is also the
// width of a timer wheel slot.
constexpr int64_t kTimerGranularityMicros = 100;
// 2^12 slots of 100 us: timers due within 409.6 ms sit in the wheel, later ones in a heap.
constexpr uint32_t kTimerWheelBits = 12;

int64_t MonotonicMicros() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// Workers that may wait in epoll_wait at once (invariant 11): half the processors this process
// may run on. A second poller on a machine of two would mostly steal the processor from the
// peers and from the first one: every arriving event wakes a waiting poller.
int32_t PollerRoles() noexcept {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    const int count = sched_getaffinity(0, sizeof(cpus), &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
    return std::max(1, count / 2);
}

int64_t CurrentThreadId() noexcept {
    thread_local const int64_t id = syscall(SYS_gettid);
    return id;
}

int CheckedFd(int fd, const char* what) {
    if (fd < 0) {
        ThrowPosixError(what);
    }
    return fd;
}

void SignalEventFd(int eventFd) noexcept {
    const uint64_t one = 1;
    // An eventfd write only fails when the counter would overflow, which leaves it readable.
    [[maybe_unused]] ssize_t written = write(eventFd, &one, sizeof one);
}

void DrainEventFd(int eventFd) noexcept {
    uint64_t value = 0;
    [[maybe_unused]] ssize_t got = read(eventFd, &value, sizeof value);
}

void CloseFd(int& fd) noexcept {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

int32_t ReadSetting(const Ref<Service::Config::View>& config, const char* key, int32_t fallback) {
    int32_t value = fallback;
    if (config) {
        config->GetInt(key, value);
    }
    return value;
}

// The exception that describes an errno value of a completion.
std::unique_ptr<Exception> MakeIoError(int error) {
    if (error == 0) {
        return nullptr;
    }
    if (error == ECANCELED) {
        return std::make_unique<CanceledException>();
    }
    return std::make_unique<PosixSystemException>(error);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Scheduled items

namespace {

// Holds a one-byte spin lock for a few instructions. A waiter never sleeps in the kernel: a
// producer meeting a worker on the task queue would cost both sides a wake-up, far more than the
// hold. It yields the processor now and then, as the holder may have lost its own.
class SpinGuard {
public:
    explicit SpinGuard(std::atomic_flag& flag) : _flag(flag) {
        for (uint32_t round = 0; _flag.test_and_set(std::memory_order_acquire);) {
            while (_flag.test(std::memory_order_relaxed)) {
                if (++round % 128 == 0) {
                    sched_yield();
                } else {
                    __builtin_ia32_pause();
                }
            }
        }
    }
    ~SpinGuard() { _flag.clear(std::memory_order_release); }
    SpinGuard(const SpinGuard&) = delete;
    SpinGuard& operator=(const SpinGuard&) = delete;

private:
    std::atomic_flag& _flag;
};

}  // namespace

// A timer is its own item: the caller's Ref and the timer heap share it.
class ThreadPoolPosix::TimerEntry final : public ScheduledItem, public ObjectImpl {
public:
    TimerEntry(ThreadPoolPosix* pool, const Ref<Task>& task) : _pool(pool) {
        Task* held = task.Get();
        held->IncRef(this);
        _task.store(held, std::memory_order_release);
    }
    ~TimerEntry() override { Take(); }

    bool Cancel() override {
        ThreadPoolPosix* current = ThreadPoolPosix::CurrentPool();
        if (current == nullptr || current != _pool) {
            throw WrongThreadException();
        }
        return static_cast<bool>(Take());
    }
    Ref<Object> GetUserObject() const override {
        SpinGuard guard(_userLock);
        return _user;
    }
    void SetUserObject(const Ref<Object>& object) override {
        Ref<Object> previous;
        SpinGuard guard(_userLock);
        previous = std::move(_user);
        _user = object;
    }

    // The task if the timer is still pending; whoever takes it (firing or cancelling) is the
    // only one.
    Ref<Task> Take() noexcept {
        return Ref<Task>::Adopt(_task.exchange(nullptr, std::memory_order_acq_rel));
    }
    bool IsPending() const noexcept { return _task.load(std::memory_order_acquire) != nullptr; }

    ThreadPoolPosix* const _pool;  // identity only: Cancel reaches the pool through the thread

private:
    std::atomic<Task*> _task{nullptr};  // holds one reference while pending
    // Timers are many and their user objects rarely touched: a one-byte lock is enough.
    mutable std::atomic_flag _userLock = ATOMIC_FLAG_INIT;
    Ref<Object> _user;  // guarded by _userLock
};

class ScheduledPollableImpl final : public ScheduledItem, public ObjectImpl {
public:
    ScheduledPollableImpl(ThreadPoolPosix* pool, const Ref<ThreadPoolPosix::PollableThread>& thread,
                          uint64_t id)
        : _pool(pool), _thread(thread), _id(id) {}

    bool Cancel() override {
        ThreadPoolPosix* current = ThreadPoolPosix::CurrentPool();
        if (current == nullptr || current != _pool) {
            throw WrongThreadException();
        }
        return _thread ? current->CancelPollable(*_thread, _id) : false;
    }
    Ref<Object> GetUserObject() const override {
        std::lock_guard<std::mutex> guard(_mutex);
        return _user;
    }
    void SetUserObject(const Ref<Object>& object) override {
        Ref<Object> previous;
        std::lock_guard<std::mutex> guard(_mutex);
        previous = std::move(_user);
        _user = object;
    }

private:
    ThreadPoolPosix* const _pool;
    const Ref<ThreadPoolPosix::PollableThread> _thread;
    const uint64_t _id;
    mutable std::mutex _mutex;
    Ref<Object> _user;  // guarded by _mutex
};

ThreadPoolPosix::PollableThread::~PollableThread() {
    CloseFd(wakeFd);
}

// ---------------------------------------------------------------------------------------------
// Construction

void SystemFactoryImpl::CreateThreadPool(const Ref<Service::Config::View>& config,
                                         Ref<ThreadPool>& pool) {
    pool = new ThreadPoolPosix(config);
}

ThreadPoolPosix::ThreadPoolPosix(const Ref<Service::Config::View>& config)
    : _timers(kTimerGranularityMicros, kTimerWheelBits, MonotonicMicros()) {
    if (Ref<Service::Logger> root = Service::TryGetDefaultLogger()) {
        root->CreateLogger("ThreadPool", _logger);
    }
    _taskMax = ReadSetting(config, "TaskMax", 10);
    _ioMin = ReadSetting(config, "IoMin", 1);
    _ioMax = ReadSetting(config, "IoMax", 2 * _taskMax + 1);
    // Bad values come from a configuration file: a clear error, not an assertion.
    if (_taskMax < 1 || _ioMin < 0 || _ioMax < 1 || _ioMin > _ioMax) {
        throw InvalidArgumentException(
            FormatString("thread pool settings TaskMax=%1, IoMin=%2, IoMax=%3: TaskMax and IoMax "
                         "must be at least 1 and IoMin between 0 and IoMax",
                         _taskMax, _ioMin, _ioMax));
    }
    Log(_logger, LogLevel::Verbose, "TaskMax=%1, IoMin=%2, IoMax=%3", _taskMax, _ioMin, _ioMax);
    _pollerMax = PollerRoles();

    std::string com = "none";
    if (config) {
        config->GetString("initializeCOM", com);
    }
    // There is no COM here: the setting is accepted and logged, threads do nothing with it.
    if (com == "sta") {
        _comModel = com;
        Log(_logger, LogLevel::Verbose, "Setting COM threading model to STA");
    } else if (com == "mta") {
        _comModel = com;
        Log(_logger, LogLevel::Verbose, "Setting COM threading model to MTA");
    } else if (com != "none") {
        Log(_logger, LogLevel::Warning,
            "Unrecognized initializeCOM value '%1' in configuration file", com);
    }

    try {
        sem_init(&_standby, 0, 0);
        _epollFd = CheckedFd(epoll_create1(EPOLL_CLOEXEC), "epoll_create1");
        _postFd = CheckedFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "eventfd");
        epoll_event event{};
        // Edge-triggered: every write wakes one waiter, and the counter never needs draining.
        event.events = EPOLLIN | EPOLLET;
        event.data.u64 = kPostedKey;
        if (epoll_ctl(_epollFd, EPOLL_CTL_ADD, _postFd, &event) != 0) {
            ThrowPosixError("epoll_ctl(completion queue)");
        }
        _timerFd = CheckedFd(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK),
                             "timerfd_create");
        _timerWakeFd = CheckedFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "eventfd");
        _connectEpollFd = CheckedFd(epoll_create1(EPOLL_CLOEXEC), "epoll_create1");
        _handOverFd = CheckedFd(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK),
                                "timerfd_create");
    } catch (...) {
        CloseFd(_epollFd);
        CloseFd(_postFd);
        CloseFd(_timerFd);
        CloseFd(_timerWakeFd);
        CloseFd(_connectEpollFd);
        CloseFd(_handOverFd);
        throw;
    }
}

ThreadPoolPosix::~ThreadPoolPosix() {
    sem_destroy(&_standby);
    CloseFd(_epollFd);
    CloseFd(_postFd);
    CloseFd(_timerFd);
    CloseFd(_timerWakeFd);
    CloseFd(_connectEpollFd);
    CloseFd(_handOverFd);
}

// ---------------------------------------------------------------------------------------------
// Threads

ThreadPoolPosix* ThreadPoolPosix::CurrentPool() noexcept {
    ThreadPosix* thread = ThreadPosix::Current();
    return thread != nullptr ? thread->GetPool() : nullptr;
}

void ThreadPoolPosix::PrepareCurrentThreadToWait() {
    ThreadPoolPosix* pool = CurrentPool();
    if (pool == nullptr) {
        throw WrongThreadException();
    }
    pool->PrepareToWait();
}

void ThreadPoolPosix::ThreadStarted() {
    std::lock_guard<std::mutex> guard(_liveMutex);
    ++_liveThreads;
}

void ThreadPoolPosix::ThreadEnded() {
    std::lock_guard<std::mutex> guard(_liveMutex);
    --_liveThreads;
    _liveChanged.notify_all();
}

bool ThreadPoolPosix::WaitForThreads(int64_t timeoutMicros) {
    std::unique_lock<std::mutex> guard(_liveMutex);
    if (timeoutMicros < 0) {
        _liveChanged.wait(guard, [this] { return _liveThreads == 0; });
        return true;
    }
    return _liveChanged.wait_for(guard, std::chrono::microseconds(timeoutMicros),
                                 [this] { return _liveThreads == 0; });
}

void ThreadPoolPosix::LaunchThread(std::string name, std::function<void()> body) {
    ThreadStarted();
    try {
        // The thread holds the pool alive until it ends.
        std::thread([self = Ref<ThreadPoolPosix>(this), name = std::move(name),
                     body = std::move(body)] {
            pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
            body();
            self->ThreadEnded();
        }).detach();
    } catch (const std::system_error& failure) {
        ThreadEnded();
        throw PosixSystemException(failure.code().value(), "starting a pool thread");
    }
}

void ThreadPoolPosix::StartWorkerLocked() {
    Ref<ThreadPosix> worker(new ThreadPosix(Ref<ThreadPoolPosix>(this), true));
    worker->_countedAtStart = true;
    ++_totalThreads;
    try {
        LaunchThread("tarvos-worker", [this, worker] { WorkerMain(worker); });
    } catch (...) {
        --_totalThreads;
        throw;
    }
}

void ThreadPoolPosix::WorkerMain(const Ref<ThreadPosix>& self) {
    self->SetThreadId(CurrentThreadId());
    ThreadPosix::SetCurrent(self.Get());
    Lock();
    _threads[self->GetThreadId()] = self;
    Unlock();
    try {
        while (RunThread()) {
        }
    } catch (...) {
        ReportUnhandled("worker");
    }
    self->MarkEnded();
}

void ThreadPoolPosix::EnterThread() {
    Lock();
    ThreadPosix* thread = ThreadPosix::Current();
    if (thread != nullptr && thread->GetPool() != this) {
        Unlock();
        throw InvalidStateException();
    }
    if (thread == nullptr) {
        const int64_t id = CurrentThreadId();
        auto found = _threads.find(id);
        if (found == _threads.end()) {
            Ref<ThreadPosix> made(new ThreadPosix(Ref<ThreadPoolPosix>(this), false));
            made->SetThreadId(id);
            found = _threads.emplace(id, made).first;
        }
        thread = found->second.Get();
        ThreadPosix::SetCurrent(thread);
    }
    thread->_entryCount += 1;
    Unlock();
}

void ThreadPoolPosix::LeaveThread() {
    Ref<ThreadPosix> leaving;
    Lock();
    ThreadPosix* thread = ThreadPosix::Current();
    if (thread == nullptr || thread->GetPool() != this) {
        Unlock();
        TARVOS_VERIFY(false);
    }
    thread->_entryCount -= 1;
    if (thread->_entryCount < 1) {
        auto found = _threads.find(thread->GetThreadId());
        if (found != _threads.end()) {
            leaving = std::move(found->second);
            _threads.erase(found);
        }
        ThreadPosix::SetCurrent(nullptr);
        if (!thread->IsStartedByPool()) {
            thread->MarkEnded();
        }
    }
    Unlock();
    // `leaving` drops the map's reference outside the pool mutex.
}

void ThreadPoolPosix::StartDedicatedThread(const Ref<Task>& task, Ref<Thread>& thread) {
    Ref<ThreadPosix> dedicated(new ThreadPosix(Ref<ThreadPoolPosix>(this), true));
    LaunchThread("tarvos-dedicated", [this, dedicated, task] {
        dedicated->SetThreadId(CurrentThreadId());
        ThreadPosix::SetCurrent(dedicated.Get());
        Lock();
        _threads[dedicated->GetThreadId()] = dedicated;
        Unlock();
        EnterThread();
        Ref<Task> work = task;
        RunTask(work);
        LeaveThread();
        dedicated->MarkEnded();
    });
    thread = dedicated;
}

thread_local RingQueue<ThreadPoolPosix::Posted> ThreadPoolPosix::t_deferred;

void ThreadPoolPosix::PrepareToWait() {
    // What this worker deferred to itself could be what it is about to wait for.
    ShareDeferred();
    enum { kNothing, kStarted, kTooMany } outcome = kNothing;
    Lock();
    if (ThreadPosix* thread = ThreadPosix::Current();
        thread != nullptr && thread->GetPool() == this) {
        LeavePollerRoleLocked(thread);
    }
    // After Shutdown only for what is posted: with every other worker gone or busy, the entry
    // this thread may wait for would have nobody to dispatch it (invariant 6).
    if (!_shuttingDown || !_posted.Empty()) {
        const int32_t ioThreads = _totalThreads - _taskThreads;
        if (ioThreads == _busyThreads) {
            if (_totalThreads < _taskMax + _ioMax) {
                try {
                    StartWorkerLocked();
                    outcome = kStarted;
                } catch (...) {
                    Unlock();
                    throw;
                }
            } else {
                outcome = kTooMany;
            }
        }
    }
    Unlock();
    if (outcome == kStarted) {
        Log(_logger, LogLevel::Trivia, "PrepareToWait: Starting new thread");
    } else if (outcome == kTooMany) {
        Log(_logger, LogLevel::Trivia, "PrepareToWait: Too many threads to start a new one");
    }
}

// ---------------------------------------------------------------------------------------------
// Tasks and the completion queue

bool ThreadPoolPosix::CanTakeTaskLocked() const noexcept {
    return !_tasks.Empty() && _taskThreads < _taskMax &&
           (!_ioRegistered || _totalThreads - _taskThreads > _ioMin);
}

int32_t ThreadPoolPosix::AwakeIdleThreadsLocked() const noexcept {
    return _totalThreads - _taskThreads - _busyThreads - _sleepingThreads - _standbyThreads;
}

void ThreadPoolPosix::KickLocked() {
    if (AwakeIdleThreadsLocked() > 0) {
        return;
    }
    if (_sleepingThreads > 0) {
        if (!_kickPending) {
            _kickPending = true;
            SignalEventFd(_postFd);
        }
    } else if (_pollers < _pollerMax || !_tasks.Empty()) {
        // A busy poller comes back for posted entries and events after its dispatch; a task or
        // a vacant role needs another worker.
        WakeStandbyLocked();
    }
}

void ThreadPoolPosix::WakeStandbyLocked() {
    // One post per worker on standby at most: each need for a worker gets its own, and none
    // piles up in the semaphore.
    if (_standbyWakes < _standbyThreads) {
        ++_standbyWakes;
        sem_post(&_standby);
    }
}

void ThreadPoolPosix::LeavePollerRoleLocked(ThreadPosix* thread) {
    if (thread->_poller) {
        thread->_poller = false;
        thread->_pollerBusySince = 0;
        --_pollers;
        WakeStandbyLocked();
    }
}

void ThreadPoolPosix::ArmHandOverLocked(int64_t due) {
    if (_handOverArmed) {
        return;
    }
    itimerspec when{};
    when.it_value.tv_sec = due / 1000000;
    when.it_value.tv_nsec = (due % 1000000) * 1000;
    _handOverArmed = timerfd_settime(_handOverFd, TFD_TIMER_ABSTIME, &when, nullptr) == 0;
}

void ThreadPoolPosix::HandOverStalledRoles() {
    Lock();
    _handOverArmed = false;
    const int64_t now = MonotonicMicros();
    int64_t next = INT64_MAX;
    bool handedOver = false;
    for (const auto& [id, thread] : _threads) {
        if (!thread->_poller || thread->_pollerBusySince == 0) {
            continue;
        }
        const int64_t due = thread->_pollerBusySince + kHandOverMicros;
        if (due <= now) {
            LeavePollerRoleLocked(thread.Get());
            handedOver = true;
        } else {
            next = std::min(next, due);
        }
    }
    if (handedOver && _standbyThreads == 0 && !_shuttingDown && _totalThreads < _taskMax + _ioMax) {
        try {
            StartWorkerLocked();
        } catch (...) {
            // The busy poller takes its role back when its dispatch returns.
        }
    }
    if (next != INT64_MAX) {
        ArmHandOverLocked(next);
    }
    Unlock();
}

void ThreadPoolPosix::WaitOnStandby() {
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += kWorkerWaitMillis / 1000;
    while (sem_clockwait(&_standby, CLOCK_MONOTONIC, &until) != 0 && errno == EINTR) {
    }
}

void ThreadPoolPosix::BumpWorkEpochLocked() noexcept {
    // Written only under the pool mutex: a plain increment, published for the spinner.
    _workEpoch.store(_workEpoch.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

bool ThreadPoolPosix::CanTakeTaskIfQueuedLocked() const noexcept {
    return _taskThreads < _taskMax && (!_ioRegistered || _totalThreads - _taskThreads > _ioMin);
}

namespace {

// Spins until `ready()` or for `micros`; false on time-out. Looks every `gap` pauses and reads
// the clock every 64 pauses.
template <class Ready>
bool SpinUntil(int64_t micros, uint32_t gap, Ready ready) {
    const int64_t deadline = MonotonicMicros() + micros;
    for (uint32_t paused = 0;;) {
        if (ready()) {
            return true;
        }
        for (uint32_t i = 0; i < gap; ++i) {
            __builtin_ia32_pause();
        }
        paused += gap;
        if (paused % 64 == 0 && MonotonicMicros() > deadline) {
            return false;
        }
    }
}

}  // namespace

bool ThreadPoolPosix::SpinForWork(uint64_t epoch) const noexcept {
    return SpinUntil(kSpinMicros, 1, [&] {
        return _workEpoch.load(std::memory_order_acquire) != epoch || !_tasks.Empty();
    });
}

void ThreadPoolPosix::PostLocked(Posted&& entry) {
    _posted.PushBack(std::move(entry));
    BumpWorkEpochLocked();
    KickLocked();
}

void ThreadPoolPosix::EnsureIoWorkerLocked() {
    const int32_t ioThreads = _totalThreads - _taskThreads;
    if ((ioThreads == _busyThreads || ioThreads < _ioMin) && _totalThreads < _taskMax + _ioMax) {
        StartWorkerLocked();
    }
}

void ThreadPoolPosix::PostCompletionLocked(Posted&& entry) {
    try {
        EnsureIoWorkerLocked();
    } catch (...) {
        // No thread could be started; the entry still waits for a running worker.
    }
    PostLocked(std::move(entry));
}

void ThreadPoolPosix::TaskQueue::Push(Ref<Task>&& task) {
    SpinGuard guard(_busy);
    _queue.PushBack(std::move(task));
    _size.fetch_add(1);
}

size_t ThreadPoolPosix::TaskQueue::Take(Ref<Task>* out, size_t max) {
    SpinGuard guard(_busy);
    size_t taken = 0;
    while (taken < max && !_queue.Empty()) {
        out[taken++] = _queue.PopFront();
    }
    _size.fetch_sub(taken);
    return taken;
}

void ThreadPoolPosix::TaskQueue::Swap(RingQueue<Ref<Task>>& other) {
    SpinGuard guard(_busy);
    _queue.Swap(other);
    _size.store(_queue.Size());
}

void ThreadPoolPosix::QueueWorkLocked(Ref<Task>&& task) {
    _tasks.Push(std::move(task));
    BumpWorkEpochLocked();
    GrowForBacklogLocked();
}

void ThreadPoolPosix::GrowForBacklogLocked() {
    const int32_t ioThreads = _totalThreads - _taskThreads;
    const int32_t idle = ioThreads - _busyThreads;
    if ((idle == 0 || ioThreads <= _ioMin) && _taskThreads < _taskMax &&
        _totalThreads < _taskMax + _ioMax) {
        StartWorkerLocked();
    } else if (idle > 0 && _taskThreads < _taskMax &&
               (!_ioRegistered || _totalThreads - _taskThreads > _ioMin)) {
        // Waking a worker that the task rule would not let take the task only costs a round
        // trip; a busy task thread takes the next task itself when it finishes.
        KickLocked();
    }
}

void ThreadPoolPosix::QueueWork(Ref<Task> task) {
    if (!task) {
        throw InvalidArgumentException("QueueWork: null task");
    }
    if (_shuttingDown.load(std::memory_order_acquire)) {
        return;
    }
    _tasks.Push(std::move(task));
    if (_shuttingDown.load()) {
        // Shutdown began meanwhile and may have dropped the queue before this push: drop what
        // is queued now as it would have (invariant 6), outside the pool mutex.
        RingQueue<Ref<Task>> dropped;
        Lock();
        _tasks.Swap(dropped);
        Unlock();
        return;
    }
    if (_taskThreads.load() >= _taskMax || _spinnerActive.load()) {
        return;  // a worker holding a task slot, or the spinning one, takes it (invariant 12)
    }
    Lock();
    BumpWorkEpochLocked();
    try {
        GrowForBacklogLocked();
    } catch (...) {
        // The task is queued; only the extra worker could not be started.
        Unlock();
        throw;
    }
    Unlock();
}

void ThreadPoolPosix::PostCallback(uintptr_t arg1, uintptr_t arg2, PostedCallback callback) {
    if (callback == nullptr) {
        throw InvalidArgumentException("PostCallback: null callback");
    }
    Lock();
    if (_shuttingDown) {
        Unlock();
        return;
    }
    try {
        EnsureIoWorkerLocked();
    } catch (...) {
        Unlock();
        throw;
    }
    Posted entry;
    entry.key = 3;
    entry.callback = callback;
    entry.arg1 = arg1;
    entry.arg2 = arg2;
    PostLocked(std::move(entry));
    Unlock();
}

void ThreadPoolPosix::RunTask(Ref<Task>& task) {
    try {
        task->Run();
    } catch (...) {
        ReportUnhandled("task");
    }
    ReleaseTask(task);
}

void ThreadPoolPosix::ReleaseTask(Ref<Task>& task) {
    try {
        task.Reset();
    } catch (...) {
        ReportUnhandled("task release");
    }
}

void ThreadPoolPosix::RunTasks(Ref<Task>* tasks, size_t taken, bool mayLinger) {
    for (int rounds = 1;; ++rounds) {
        for (size_t i = 0; i < taken; ++i) {
            if (!_shuttingDown.load(std::memory_order_acquire)) {
                RunTask(tasks[i]);
            } else {
                ReleaseTask(tasks[i]);  // dropped like the tasks still queued (invariant 6)
            }
        }
        // The task slot is still this worker's: go on with what was queued meanwhile without
        // the pool mutex, so that a producer never finds the slot free between two tasks
        // (invariant 12). While tasks keep arriving as fast as they run, keep the slot a little
        // after the queue runs dry too; giving it up would send the next producer to the pool
        // mutex, where it meets this worker and sleeps.
        if (_tasks.Empty() && !(mayLinger && rounds > 1 && LingerForTask())) {
            return;
        }
        if (_shuttingDown.load(std::memory_order_acquire)) {
            return;
        }
        taken = _tasks.Take(tasks, TaskBatch());
    }
}

size_t ThreadPoolPosix::TaskBatch() const noexcept {
    return _taskMax == 1 ? kTaskBatch : 1;
}

bool ThreadPoolPosix::LingerForTask() noexcept {
    bool expected = false;
    if (!_taskLinger.compare_exchange_strong(expected, true)) {
        return false;  // one worker at a time (invariant 12)
    }
    // Look seldom: each look takes the queue's cache line from the producer.
    const bool arrived = SpinUntil(kSpinMicros, 8, [&] {
        return !_tasks.Empty() || _shuttingDown.load(std::memory_order_relaxed);
    });
    if (arrived) {
        // Let a few more come before taking them, without looking at the queue meanwhile:
        // taking each task the moment it is queued moves the queue's cache lines between the
        // processors for every task, which costs the producer more than the task itself.
        SpinUntil(kGatherMicros, 64, [] { return false; });
    }
    _taskLinger.store(false, std::memory_order_relaxed);
    return arrived;
}

void ThreadPoolPosix::ReportUnhandled(const char*) {
    // Called inside a catch handler: a task or callback let an exception escape. The worker
    // reports it and goes on.
    try {
        throw;
    } catch (const Throwable& thrown) {
        thrown.LogBacktrace();
    } catch (const std::exception& thrown) {
        Log(_logger, LogLevel::Panic, "Unhandled exception:\n%1", thrown.what());
    } catch (...) {
        Log(_logger, LogLevel::Panic, "Unhandled exception of unknown type");
    }
}

bool ThreadPoolPosix::RunThread() {
    EnterThread();
    Lock();
    ThreadPosix* self = ThreadPosix::Current();
    if (self->_countedAtStart) {
        self->_countedAtStart = false;
    } else {
        ++_totalThreads;
    }
    bool spinBeforeSleep = true;
    Ref<Task> tasks[kTaskBatch];
    while (!_shuttingDown) {
        while (CanTakeTaskLocked()) {
            LeavePollerRoleLocked(self);  // a task may take long: another worker polls meanwhile
            const size_t taken = _tasks.Take(tasks, TaskBatch());
            ++_taskThreads;
            if (!_tasks.Empty()) {
                // A backlog remains: apply the start rule again, so that a burst of queued tasks
                // grows the pool towards TaskMax as its workers get busy.
                try {
                    GrowForBacklogLocked();
                } catch (...) {
                    // Threads could not be started; the running workers work off the queue.
                }
            }
            const bool mayLinger = !_ioRegistered;
            Unlock();
            RunTasks(tasks, taken, mayLinger);
            Lock();
            --_taskThreads;
        }
        if (_shuttingDown) {
            break;
        }
        if (!_posted.Empty()) {
            Posted entry = _posted.PopFront();
            ++_busyThreads;
            if (!_posted.Empty()) {
                KickLocked();  // more entries wait: pass the wake-up on
            }
            Unlock();
            DispatchDeferring(entry);
            Lock();
            --_busyThreads;
            continue;
        }
        if (!_readyEvents.Empty()) {
            DispatchReadyLocked(_readyEvents.PopFront());
            continue;
        }
        if (spinBeforeSleep && !_spinnerActive && !_ioRegistered && CanTakeTaskIfQueuedLocked()) {
            // Work arriving in a steady stream would otherwise cost a wake-up (a write, a
            // context switch) each time the queue runs dry: one worker at a time waits briefly
            // for the next item before it sleeps (invariant 9).
            _spinnerActive = true;
            const uint64_t epoch = _workEpoch.load(std::memory_order_relaxed);
            Unlock();
            const bool arrived = SpinForWork(epoch);
            Lock();
            _spinnerActive = false;
            if (!_tasks.Empty() && !CanTakeTaskLocked()) {
                // A producer left its task to this spinner (invariant 12), but the task rule
                // changed meanwhile (a descriptor was registered): apply the start rule the
                // producer skipped.
                try {
                    GrowForBacklogLocked();
                } catch (...) {
                    // The running workers take it when the rule lets them.
                }
            }
            if (arrived || _shuttingDown || CanTakeTaskLocked() || !_posted.Empty()) {
                continue;
            }
        }
        if (_ioRegistered && !self->_poller) {
            if (_pollers >= _pollerMax) {
                // Every role is held: wait for a vacant one, a task or an entry (invariant 11).
                ++_standbyThreads;
                Unlock();
                WaitOnStandby();
                Lock();
                --_standbyThreads;
                if (_standbyWakes > 0) {
                    --_standbyWakes;  // this one's, or one a timed-out wait left for the next
                }
                continue;
            }
            self->_poller = true;
            ++_pollers;
        }
        self->_pollerBusySince = 0;
        ++_sleepingThreads;
        Unlock();
        epoll_event events[kEventBatch];
        const int64_t sleptAt = MonotonicMicros();
        // Raised before the kernel looks at any descriptor for this call (it does so as the call
        // returns), so that a direct read made after that look sees this epoch or a later one.
        const uint64_t epoch = _pollEpoch.fetch_add(1, std::memory_order_seq_cst) + 1;
        const int ready = epoll_wait(_epollFd, events, kEventBatch, kWorkerWaitMillis);
        Lock();
        --_sleepingThreads;
        if (self->_poller && ready > 0) {
            // Away from epoll_wait from now on: the timer thread hands the role over should
            // this worker's dispatch take too long.
            self->_pollerBusySince = MonotonicMicros();
            ArmHandOverLocked(self->_pollerBusySince + kHandOverMicros);
        }
        bool posted = false;
        for (int i = 1; i < ready; ++i) {
            if (events[i].data.u64 == kPostedKey) {
                _kickPending = false;
                posted = true;
            } else {
                _readyEvents.PushBack(ReadyEvent{events[i], epoch});
            }
        }
        if (ready > 0 && events[0].data.u64 == kPostedKey) {
            _kickPending = false;  // the wake-up arrived; the loop takes the work above
            posted = true;
        }
        // Spin next time only while queued work keeps arriving soon after the queue ran dry. A
        // descriptor's readiness does not end a spin, so I/O never makes spinning worth it.
        spinBeforeSleep = posted && MonotonicMicros() - sleptAt < kSpinWorthMicros;
        if (ready > 0 && events[0].data.u64 != kPostedKey) {
            DispatchReadyLocked(ReadyEvent{events[0], epoch});
        }
    }
    LeavePollerRoleLocked(self);
    for (int left = kShutdownDrainLimit; left > 0;) {
        if (!_posted.Empty()) {
            Posted entry = _posted.PopFront();
            ++_busyThreads;
            Unlock();
            DispatchDeferring(entry);
            Lock();
            --_busyThreads;
            --left;
        } else if (_busyThreads > 0 || _taskThreads > 0) {
            // Another worker still runs a callback or a task, which may post a completion and
            // then wait for it (a close followed by a wait): stay to dispatch it. This worker
            // counts as awake meanwhile, so nothing is sent to wake it; it looks again shortly.
            Unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(kShutdownRecheckMillis));
            Lock();
        } else {
            break;
        }
    }
    --_totalThreads;
    Unlock();
    LeaveThread();
    return false;
}

void ThreadPoolPosix::DispatchReadyLocked(const ReadyEvent& ready) {
    const epoll_event& event = ready.event;
    const uint32_t index = static_cast<uint32_t>(event.data.u64);
    const uint32_t generation = static_cast<uint32_t>(event.data.u64 >> 32);
    if (index >= _ioSlots.size() || _ioSlots[index].generation != generation ||
        !_ioSlots[index].registration) {
        return;  // the registration was withdrawn after the event was queued
    }
    Ref<IoRegistration> registration = _ioSlots[index].registration;
    ++_busyThreads;
    if (!_readyEvents.Empty()) {
        KickLocked();  // more wait: pass the wake-up on (invariant 3)
    }
    Unlock();
    t_deferringPool = this;
    registration->OnReady(event.events, ready.epoch);
    registration.Reset();
    RunDeferred();
    Lock();
    --_busyThreads;
}

void ThreadPoolPosix::DispatchDeferring(Posted& entry) {
    t_deferringPool = this;
    Dispatch(entry);
    RunDeferred();
}

void ThreadPoolPosix::RunDeferred() {
    for (int budget = kDeferredBudget; !t_deferred.Empty(); --budget) {
        if (budget == 0) {
            ShareDeferred();
            break;
        }
        Posted entry = t_deferred.PopFront();
        Dispatch(entry);
    }
    t_deferringPool = nullptr;
}

void ThreadPoolPosix::CurrentThreadBlocks() {
    if (t_deferringPool != nullptr) {
        t_deferringPool->ShareDeferred();
    }
    if (ThreadPosix* thread = ThreadPosix::Current()) {
        ThreadPoolPosix* pool = thread->GetPool();
        pool->Lock();
        pool->LeavePollerRoleLocked(thread);
        pool->Unlock();
    }
}

void ThreadPoolPosix::ShareDeferred() {
    if (t_deferringPool != this || t_deferred.Empty()) {
        return;
    }
    Lock();
    while (!t_deferred.Empty()) {
        _posted.PushBack(t_deferred.PopFront());
    }
    BumpWorkEpochLocked();
    KickLocked();
    Unlock();
}

void ThreadPoolPosix::Dispatch(Posted& entry) {
    try {
        switch (entry.key) {
            case 1:
                DispatchIoCompletion(*entry.registration, entry.operation, entry.bytes,
                                     entry.error);
                break;
            case 2: {
                const std::unique_ptr<Exception> error = MakeIoError(entry.error);
                entry.connect->OnConnectComplete(error.get());
                break;
            }
            case 3:
                entry.callback(entry.arg1, entry.arg2);
                break;
            default:
                TARVOS_NOT_REACHED();
        }
    } catch (...) {
        ReportUnhandled("completion");
    }
    try {
        entry = Posted{};
    } catch (...) {
        ReportUnhandled("completion release");
    }
}

void ThreadPoolPosix::DispatchIoCompletion(IoRegistration& registration, IoOperation* operation,
                                           int64_t bytes, int error) {
    const std::unique_ptr<Exception> failure = MakeIoError(error);
    if (Ref<Service::Logger> tcp = GetTcpTraceLogger()) {
        std::string type;
        if (const Exception* thrown = failure.get()) {
            type = DemangleTypeName(typeid(*thrown).name());
        }
        const std::string message = failure ? "'" + failure->GetMessage() + "'" : "''";
        Log(tcp, LogLevel::Trivia,
            "GetQueuedCompletionStatus returns IO_COMPLETION_OVERLAPPED, xferedBytes=%1, "
            "ovl=%2, err=%3 %4",
            bytes, static_cast<const void*>(operation), type, message);
    }
    registration.GetHandler()->OnIoCompletion(operation, bytes, failure.get());
}

void ThreadPoolPosix::Shutdown() {
    // Operations in flight end first, while the pool still runs normally: each registration is
    // cancelled, so every pending operation completes with CanceledException (invariant 6).
    std::vector<Ref<IoRegistration>> registrations;
    Lock();
    if (_shuttingDown) {
        Unlock();
        return;
    }
    for (const IoSlot& slot : _ioSlots) {
        if (slot.registration) {
            registrations.push_back(slot.registration);
        }
    }
    Unlock();
    for (const Ref<IoRegistration>& registration : registrations) {
        registration->Cancel();
    }
    registrations.clear();

    RingQueue<Ref<Task>> tasks;
    std::vector<TimerItem> timers;  // the timer thread drops its own queue when it leaves
    std::unordered_map<int, Ref<ConnectCallback>> connects;
    std::vector<std::map<uint64_t, PollableItem>> pollables;
    std::vector<IoSlot> slots;
    Lock();
    if (_shuttingDown) {
        Unlock();
        return;
    }
    _shuttingDown = true;
    _tasks.Swap(tasks);
    connects.swap(_connects);
    slots.swap(_ioSlots);
    _freeIoSlots.clear();
    for (const Ref<PollableThread>& thread : _pollableThreads) {
        pollables.push_back(std::move(thread->items));
        thread->items.clear();
        SignalEventFd(thread->wakeFd);
    }
    // Every worker must wake and leave: the wake-up descriptor becomes level-triggered and stays
    // readable, so each epoll_wait returns at once from now on.
    SignalEventFd(_postFd);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kPostedKey;
    epoll_ctl(_epollFd, EPOLL_CTL_MOD, _postFd, &event);
    SignalEventFd(_timerWakeFd);
    for (int32_t i = 0; i < _standbyThreads; ++i) {
        sem_post(&_standby);
    }
    Unlock();
    {
        std::lock_guard<std::mutex> guard(_timerMutex);
        timers.swap(_incoming);
    }
    for (const TimerItem& timer : timers) {
        timer.entry->Take();  // a later Cancel finds the timer gone
    }
    // Registered since the first pass: their cancellations reach the leaving workers.
    for (const IoSlot& slot : slots) {
        if (slot.registration) {
            slot.registration->Cancel();
        }
    }
    // The dropped work is released here, outside the pool mutex.
}

bool ThreadPoolPosix::IsShuttingDown() const {
    return _shuttingDown.load(std::memory_order_acquire);
}

bool ThreadPoolPosix::Drain(int64_t) {
    SetTcpTraceLogger(nullptr);
    return false;
}

// ---------------------------------------------------------------------------------------------
// Thread-local slots

int ThreadPoolPosix::AllocThreadLocalIndex() {
    std::lock_guard<std::mutex> guard(_localsMutex);
    int index;
    if (_freeLocalHead != -1) {
        index = _freeLocalHead;
        _freeLocalHead = _nextFreeLocal[static_cast<size_t>(index)];
    } else {
        if (_nextFreeLocal.size() > static_cast<size_t>(Thread::kMaxThreadLocalIndex)) {
            throw NotSupportedException();
        }
        _nextFreeLocal.push_back(-1);
        _localInUse.push_back(false);
        index = static_cast<int>(_nextFreeLocal.size() - 1);
    }
    _localInUse[static_cast<size_t>(index)] = true;
    return index;
}

void ThreadPoolPosix::FreeThreadLocalIndex(int index) {
    std::lock_guard<std::mutex> guard(_localsMutex);
    // A foreign or doubly freed index would corrupt the free list and hand one slot out twice.
    if (index < 0 || static_cast<size_t>(index) >= _localInUse.size() ||
        !_localInUse[static_cast<size_t>(index)]) {
        throw InvalidArgumentException(
            FormatString("thread-local index %1 is not allocated", index));
    }
    _localInUse[static_cast<size_t>(index)] = false;
    _nextFreeLocal[static_cast<size_t>(index)] = _freeLocalHead;
    _freeLocalHead = index;
}

// ---------------------------------------------------------------------------------------------
// Timers and connect notifications

void ThreadPoolPosix::StartTimerThreadLocked() {
    if (_timerThreadStarted.load(std::memory_order_relaxed)) {
        return;
    }
    LaunchThread("tarvos-timer", [this] { TimerThreadMain(); });
    _timerThreadStarted.store(true, std::memory_order_release);
}

void ThreadPoolPosix::ScheduleTimer(const Ref<Task>& task, int64_t delayMicros,
                                    Ref<ScheduledItem>& item) {
    if (delayMicros < 0) {
        throw InvalidArgumentException(FormatString("negative timer delay %1", delayMicros));
    }
    if (!task) {
        throw InvalidArgumentException("ScheduleTimer: null task");
    }
    if (!_timerThreadStarted.load(std::memory_order_acquire)) {
        Lock();
        try {
            StartTimerThreadLocked();
        } catch (...) {
            Unlock();
            throw;
        }
        Unlock();
    }
    const int64_t now = MonotonicMicros();
    const int64_t due = delayMicros > INT64_MAX - now ? INT64_MAX : now + delayMicros;
    Ref<TimerEntry> entry(new TimerEntry(this, task));
    Ref<Task> dropped;  // released after the lock
    {
        std::lock_guard<std::mutex> guard(_timerMutex);
        if (!_shuttingDown.load(std::memory_order_acquire)) {
            _incoming.push_back(TimerItem{due, ++_timerSequence, entry});
            _incomingEarliest = std::min(_incomingEarliest, due);
            // A timer due shortly before the armed time rides along with it (at most one
            // granularity late) instead of reprogramming the timer for every insertion.
            if (due < _armedDue - kTimerGranularityMicros) {
                ArmTimerLocked(due);
            }
        } else {
            dropped = entry->Take();
        }
    }
    item = std::move(entry);
}

void ThreadPoolPosix::ArmTimerLocked(int64_t due) {
    itimerspec when{};
    if (due == INT64_MAX) {
        if (_armedDue == INT64_MAX) {
            return;
        }
    } else {
        // An absolute time of 0 would disarm the timer; a due time in the past fires at once.
        const int64_t at = due > 0 ? due : 1;
        when.it_value.tv_sec = static_cast<time_t>(at / 1000000);
        when.it_value.tv_nsec = static_cast<long>(at % 1000000) * 1000;
    }
    _armedDue = due;
    timerfd_settime(_timerFd, TFD_TIMER_ABSTIME, &when, nullptr);
}

void ThreadPoolPosix::FireDueTimers() {
    // Runs on the timer thread only: _timers, _spareTimers and _dueTimers are its own.
    {
        std::lock_guard<std::mutex> guard(_timerMutex);
        _spareTimers.swap(_incoming);
        _incomingEarliest = INT64_MAX;
    }
    for (TimerItem& timer : _spareTimers) {
        _timers.Add(std::move(timer));
    }
    _spareTimers.clear();
    if (_shuttingDown.load(std::memory_order_acquire)) {
        return;
    }
    const int64_t now = MonotonicMicros();
    _timers.CollectDue(now, _dueTimers);
    std::vector<Ref<Task>> due;
    due.reserve(_dueTimers.size());
    for (TimerItem& timer : _dueTimers) {
        if (Ref<Task> task = timer.entry->Take()) {  // null: cancelled
            due.push_back(std::move(task));
        }
    }
    _dueTimers.clear();
    {
        std::lock_guard<std::mutex> guard(_timerMutex);
        const int64_t next = std::min(_timers.NextDue(), _incomingEarliest);
        // The armed time has passed (or the thread was woken for another reason): arm for the
        // next timer, but not sooner than one granularity from now, so that a dense run of
        // timers is served in batches rather than one wake-up and reprogramming per timer.
        ArmTimerLocked(next == INT64_MAX ? INT64_MAX
                                         : std::max(next, now + kTimerGranularityMicros));
    }
    if (due.empty()) {
        return;
    }
    // One pass under the pool mutex queues the whole batch in due order.
    Lock();
    if (!_shuttingDown) {
        for (Ref<Task>& task : due) {
            _tasks.Push(std::move(task));
        }
        BumpWorkEpochLocked();
        try {
            GrowForBacklogLocked();
        } catch (...) {
            // A worker could not be started; the tasks are queued and run on the others.
        }
    }
    Unlock();
}

void ThreadPoolPosix::TimerThreadMain() {
    pollfd fds[4] = {{_timerWakeFd, POLLIN, 0},
                     {_timerFd, POLLIN, 0},
                     {_connectEpollFd, POLLIN, 0},
                     {_handOverFd, POLLIN, 0}};
    while (!IsShuttingDown()) {
        if (poll(fds, 4, -1) < 0) {
            continue;  // EINTR
        }
        if (IsShuttingDown()) {
            break;
        }
        if (fds[0].revents != 0) {
            DrainEventFd(_timerWakeFd);
        }
        if (fds[1].revents != 0) {
            DrainEventFd(_timerFd);
        }
        if (fds[2].revents != 0) {
            HandleConnectEvents();
        }
        if (fds[3].revents != 0) {
            DrainEventFd(_handOverFd);
            HandOverStalledRoles();
        }
        FireDueTimers();
    }
    // Leaving at shutdown: the queued timers will never fire.
    _timers.Drain([](TimerItem& timer) { timer.entry->Take(); });
}

void ThreadPoolPosix::RegisterConnect(int fd, const Ref<ConnectCallback>& callback) {
    Lock();
    if (_shuttingDown) {
        Unlock();
        return;
    }
    TARVOS_VERIFY(_connects.find(fd) == _connects.end());
    try {
        StartTimerThreadLocked();
        epoll_event event{};
        event.events = EPOLLOUT | EPOLLONESHOT;
        event.data.fd = fd;
        if (epoll_ctl(_connectEpollFd, EPOLL_CTL_ADD, fd, &event) != 0) {
            ThrowPosixError("epoll_ctl(connect)");
        }
    } catch (...) {
        Unlock();
        throw;
    }
    _connects.emplace(fd, callback);
    Unlock();
}

Ref<ConnectCallback> ThreadPoolPosix::TakeConnectLocked(int fd) {
    Ref<ConnectCallback> callback;
    auto found = _connects.find(fd);
    if (found != _connects.end()) {
        callback = std::move(found->second);
        _connects.erase(found);
        epoll_ctl(_connectEpollFd, EPOLL_CTL_DEL, fd, nullptr);
    }
    return callback;
}

bool ThreadPoolPosix::CancelConnect(int fd) {
    Lock();
    Ref<ConnectCallback> callback = TakeConnectLocked(fd);
    Unlock();
    return static_cast<bool>(callback);
}

void ThreadPoolPosix::HandleConnectEvents() {
    epoll_event events[16];
    const int ready = epoll_wait(_connectEpollFd, events, 16, 0);
    for (int i = 0; i < ready; ++i) {
        const int fd = events[i].data.fd;
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            error = errno;
        }
        Lock();
        Ref<ConnectCallback> callback = TakeConnectLocked(fd);
        if (callback) {
            Posted entry;
            entry.key = 2;
            entry.connect = callback;
            entry.error = error;
            if (!_shuttingDown) {
                PostCompletionLocked(std::move(entry));
            }
        }
        Unlock();
        if (callback) {
            Log(GetTcpTraceLogger(), LogLevel::Info, "connect complete socket=%1, err=%2", fd,
                error);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Pollables

void ThreadPoolPosix::AddPollable(const Ref<Task>& callback, int fd, Ref<ScheduledItem>& item) {
    if (!callback || fd < 0) {
        throw InvalidArgumentException("AddPollable: null callback or bad descriptor");
    }
    Ref<PollableThread> chosen;
    uint64_t id = 0;
    Lock();
    try {
        for (const Ref<PollableThread>& thread : _pollableThreads) {
            if (static_cast<int>(thread->items.size()) < kPollablesPerThread) {
                chosen = thread;
                break;
            }
        }
        if (!chosen) {
            if (static_cast<int>(_pollableThreads.size()) >= kMaxPollableThreads) {
                throw NotSupportedException();
            }
            Ref<PollableThread> made(new PollableThread());
            made->wakeFd = CheckedFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "eventfd");
            LaunchThread("tarvos-pollable", [this, made] { PollableThreadMain(made); });
            _pollableThreads.push_back(made);
            chosen = made;
        }
    } catch (...) {
        Unlock();
        throw;
    }
    id = ++_pollableSequence;
    if (!_shuttingDown) {
        chosen->items.emplace(id, PollableItem{fd, callback});
        SignalEventFd(chosen->wakeFd);
    }
    Unlock();
    item = new ScheduledPollableImpl(this, chosen, id);
}

bool ThreadPoolPosix::CancelPollable(PollableThread& thread, uint64_t id) {
    Ref<Task> callback;
    Lock();
    auto found = thread.items.find(id);
    const bool removed = found != thread.items.end();
    if (removed) {
        callback = std::move(found->second.callback);
        thread.items.erase(found);
        SignalEventFd(thread.wakeFd);
    }
    Unlock();
    return removed;
}

void ThreadPoolPosix::PollableThreadMain(const Ref<PollableThread>& info) {
    std::vector<pollfd> fds;
    std::vector<uint64_t> ids;
    std::vector<Ref<Task>> fired;
    for (;;) {
        fds.clear();
        ids.clear();
        Lock();
        if (_shuttingDown) {
            Unlock();
            break;
        }
        TARVOS_VERIFY(info->items.size() <= static_cast<size_t>(kPollablesPerThread));
        for (const auto& [id, item] : info->items) {
            fds.push_back(pollfd{item.fd, POLLIN, 0});
            ids.push_back(id);
        }
        Unlock();
        fds.push_back(pollfd{info->wakeFd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            continue;  // EINTR
        }
        Lock();
        if (_shuttingDown) {
            Unlock();
            break;
        }
        for (size_t i = 0; i < ids.size(); ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            auto found = info->items.find(ids[i]);
            if (found != info->items.end()) {
                fired.push_back(std::move(found->second.callback));
                info->items.erase(found);
            }
        }
        try {
            for (Ref<Task>& callback : fired) {
                QueueWorkLocked(std::move(callback));
            }
        } catch (...) {
            // A worker could not be started; the callbacks are queued and run on the others.
        }
        Unlock();
        fired.clear();
        if (fds.back().revents != 0) {
            DrainEventFd(info->wakeFd);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Registered descriptors (key 1)

uint64_t ThreadPoolPosix::AddIoSlotLocked(IoRegistration* registration) {
    uint32_t index;
    if (!_freeIoSlots.empty()) {
        index = _freeIoSlots.back();
        _freeIoSlots.pop_back();
    } else {
        index = static_cast<uint32_t>(_ioSlots.size());
        _ioSlots.emplace_back();
    }
    IoSlot& slot = _ioSlots[index];
    slot.registration = registration;
    return (static_cast<uint64_t>(slot.generation) << 32) | index;
}

void ThreadPoolPosix::ReleaseIoSlot(uint64_t slotKey) {
    Ref<IoRegistration> released;
    const auto index = static_cast<uint32_t>(slotKey);
    const auto generation = static_cast<uint32_t>(slotKey >> 32);
    Lock();
    if (index < _ioSlots.size() && _ioSlots[index].generation == generation) {
        released = std::move(_ioSlots[index].registration);
        _ioSlots[index].generation += 1;
        _freeIoSlots.push_back(index);
    }
    Unlock();
}

void ThreadPoolPosix::AssociateHandle(int fd, const Ref<IoCompletionHandler>& handler,
                                      Ref<IoRegistration>& registration) {
    if (fd < 0 || !handler) {
        throw InvalidArgumentException("AssociateHandle: bad descriptor or null handler");
    }
    Ref<IoRegistration> made;
    Lock();
    if (_shuttingDown) {
        Unlock();
        throw InvalidStateException();
    }
    try {
        // The slot key is known only once the slot is taken, and the registration needs it: the
        // slot is filled first and the key handed to the registration's constructor.
        uint64_t key = AddIoSlotLocked(nullptr);
        made = new IoRegistration(this, fd, handler, key);
        _ioSlots[static_cast<uint32_t>(key)].registration = made;
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        event.data.u64 = key;
        if (epoll_ctl(_epollFd, EPOLL_CTL_ADD, fd, &event) != 0) {
            const int error = errno;
            _ioSlots[static_cast<uint32_t>(key)].registration.Reset();
            _ioSlots[static_cast<uint32_t>(key)].generation += 1;
            _freeIoSlots.push_back(static_cast<uint32_t>(key));
            throw PosixSystemException(error, "epoll_ctl(AssociateHandle)");
        }
        _ioRegistered = true;
        try {
            StartTimerThreadLocked();  // it hands over the roles of stalled pollers
        } catch (...) {
            // Without it a stalled poller keeps its role until its dispatch returns.
        }
        EnsureIoWorkerLocked();
    } catch (...) {
        Unlock();
        throw;
    }
    Unlock();
    registration = made;
}

void ThreadPoolPosix::RemoveIo(int fd) {
    epoll_ctl(_epollFd, EPOLL_CTL_DEL, fd, nullptr);
}

void ThreadPoolPosix::PostIoCompletion(const Ref<IoRegistration>& registration,
                                       IoOperation* operation, int64_t bytes, int error) {
    Posted entry;
    entry.key = 1;
    entry.registration = registration;
    entry.operation = operation;
    entry.bytes = bytes;
    entry.error = error;
    if (t_deferringPool == this) {
        t_deferred.PushBack(std::move(entry));  // invariant 10
        return;
    }
    Lock();
    if (!_shuttingDown) {
        PostCompletionLocked(std::move(entry));
    } else if (_totalThreads > 0) {
        PostLocked(std::move(entry));  // a leaving worker dispatches it (invariant 6)
    }
    Unlock();
}

}  // namespace Tarvos::System
