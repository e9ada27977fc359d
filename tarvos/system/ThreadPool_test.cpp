#include "tarvos/system/ThreadPool.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/system/PosixSystemException.h"
#include "tarvos/system/internal/AsyncIo.h"
#include "tarvos/system/internal/PoolTestSupport.h"
#include "tarvos/system/internal/ThreadPoolPosix.h"

namespace Tarvos::System {
namespace {

using Testing::Gate;
using Testing::MakePool;
using Testing::StopPool;
using Testing::WaitUntil;

int64_t KernelThreadId() {
    return static_cast<int64_t>(gettid());
}

class ThreadPoolTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (_entered) {
            _pool->LeaveThread();
        }
        StopPool(_pool);
    }

    void Start(const std::map<std::string, std::string>& settings = {}) {
        _pool = MakePool(settings);
    }

    // Makes the test's own thread a thread of the pool (needed for Cancel and waits).
    void Enter() {
        _pool->EnterThread();
        _entered = true;
    }

    Ref<ThreadPool> _pool;
    bool _entered = false;
};

// ---------------------------------------------------------------------------------------------
// Tasks

TEST_F(ThreadPoolTest, QueuedTaskRunsOnPoolWorkerThatKnowsItsPool) {
    Start();
    std::atomic<int64_t> ranOn{0};
    std::atomic<ThreadPool*> poolSeen{nullptr};
    _pool->QueueWork(MakeTask([&] {
        poolSeen = Thread::GetCurrent()->GetThreadPool().Get();
        ranOn = KernelThreadId();
    }));
    ASSERT_TRUE(WaitUntil([&] { return ranOn != 0; }));
    EXPECT_NE(ranOn.load(), KernelThreadId());
    EXPECT_EQ(poolSeen.load(), _pool.Get());
}

TEST_F(ThreadPoolTest, AtMostTaskMaxTasksRunAtOnceAndTheRestWait) {
    Start();  // TaskMax defaults to 10
    Gate gate;
    std::atomic<int> running{0}, peak{0}, finished{0};
    for (int i = 0; i < 14; ++i) {
        _pool->QueueWork(MakeTask([&] {
            const int now = ++running;
            int seen = peak.load();
            while (now > seen && !peak.compare_exchange_weak(seen, now)) {
            }
            gate.Pass();
            --running;
            ++finished;
        }));
    }
    ASSERT_TRUE(WaitUntil([&] { return running.load() == 10; }));
    // The eleventh task waits although the pool may start more threads.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(running.load(), 10);
    gate.Open();
    ASSERT_TRUE(WaitUntil([&] { return finished.load() == 14; }));
    EXPECT_EQ(peak.load(), 10);
}

TEST_F(ThreadPoolTest, TaskThatThrowsIsReportedAndTheWorkerGoesOn) {
    Start({{"TaskMax", "1"}});
    std::atomic<int> after{0};
    _pool->QueueWork(MakeTask([] { throw std::runtime_error("boom"); }));
    _pool->QueueWork(MakeTask([] { throw InvalidStateException(); }));
    _pool->QueueWork(MakeTask([] { throw 42; }));
    _pool->QueueWork(MakeTask([&] { ++after; }));
    ASSERT_TRUE(WaitUntil([&] { return after.load() == 1; }));
}

TEST_F(ThreadPoolTest, TasksStillQueuedAtShutdownNeverRun) {
    Start({{"TaskMax", "1"}});
    Gate gate;
    std::atomic<bool> firstStarted{false};
    std::atomic<int> laterRan{0};
    _pool->QueueWork(MakeTask([&] {
        firstStarted = true;
        gate.Pass();
    }));
    ASSERT_TRUE(WaitUntil([&] { return firstStarted.load(); }));
    for (int i = 0; i < 5; ++i) {
        _pool->QueueWork(MakeTask([&] { ++laterRan; }));
    }
    _pool->Shutdown();
    EXPECT_TRUE(_pool->IsShuttingDown());
    _pool->QueueWork(MakeTask([&] { ++laterRan; }));  // ignored after shutdown
    gate.Open();
    ASSERT_TRUE(_pool->WaitForThreads(20 * 1000 * 1000));
    EXPECT_EQ(laterRan.load(), 0);
}

// Producers race the hand-overs of the task slots: bursts with pauses between them let a worker
// run dry, linger and give its slot up while more tasks arrive. A task stranded by a missed
// hand-over would wait for a sleeping worker's 10 s time-out, beyond the limit here.
TEST_F(ThreadPoolTest, TasksFromManyProducersAllRunPromptlyAndInEachProducersOrder) {
    for (const int taskMax : {1, 3}) {
        SCOPED_TRACE(taskMax);
        Start({{"TaskMax", std::to_string(taskMax)}});
        constexpr int kProducers = 4;
        constexpr int kEach = 5000;
        std::atomic<int> ran{0}, outOfOrder{0};
        // With one slot the tasks run one after another, so they may share these plainly.
        std::vector<int> next(kProducers, 0);
        std::vector<std::thread> producers;
        for (int p = 0; p < kProducers; ++p) {
            producers.emplace_back([&, p] {
                std::mt19937 random(static_cast<unsigned>(p));
                std::uniform_int_distribution<int> burst(1, 64), pauseMicros(0, 40);
                for (int i = 0; i < kEach;) {
                    for (int n = burst(random); n > 0 && i < kEach; --n, ++i) {
                        _pool->QueueWork(MakeTask([&, p, i] {
                            if (taskMax == 1 && next[p]++ != i) {
                                ++outOfOrder;
                            }
                            ++ran;
                        }));
                    }
                    std::this_thread::sleep_for(std::chrono::microseconds(pauseMicros(random)));
                }
            });
        }
        for (std::thread& producer : producers) {
            producer.join();
        }
        EXPECT_TRUE(
            WaitUntil([&] { return ran.load() == kProducers * kEach; }, std::chrono::seconds(8)));
        EXPECT_EQ(outOfOrder.load(), 0);
        StopPool(_pool);
    }
}

// Producers keep queueing while Shutdown begins. Every task must either run or be released by
// the time the pool's threads are gone: none may sit in the queue, holding what it captured,
// until the pool itself is destroyed.
TEST_F(ThreadPoolTest, TasksQueuedAsShutdownBeginsRunOrAreReleasedBeforeThePoolEnds) {
    Start({{"TaskMax", "2"}});
    constexpr int kProducers = 3;
    constexpr int kEach = 20000;
    std::atomic<int> queued{0}, released{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                std::shared_ptr<int> token(new int(0), [&](int* held) {
                    delete held;
                    ++released;
                });
                _pool->QueueWork(MakeTask([token] {}));
                ++queued;
            }
        });
    }
    ASSERT_TRUE(WaitUntil([&] { return queued.load() > kEach; }));
    _pool->Shutdown();
    for (std::thread& producer : producers) {
        producer.join();
    }
    ASSERT_TRUE(_pool->WaitForThreads(20 * 1000 * 1000));
    EXPECT_EQ(released.load(), kProducers * kEach);
}

TEST_F(ThreadPoolTest, PostCallbackRunsWithItsTwoWordsOnAWorker) {
    Start();
    static std::atomic<uintptr_t> sum{0};
    static std::atomic<int64_t> ranOn{0};
    sum = 0;
    ranOn = 0;
    _pool->PostCallback(40, 2, [](uintptr_t a, uintptr_t b) {
        sum = a + b;
        ranOn = KernelThreadId();
    });
    ASSERT_TRUE(WaitUntil([&] { return ranOn.load() != 0; }));
    EXPECT_EQ(sum.load(), 42u);
    EXPECT_NE(ranOn.load(), KernelThreadId());
}

TEST_F(ThreadPoolTest, BadSettingsAreRefusedWithAClearError) {
    EXPECT_THROW(MakePool({{"TaskMax", "0"}}), InvalidArgumentException);
    EXPECT_THROW(MakePool({{"IoMin", "5"}, {"IoMax", "2"}}), InvalidArgumentException);
}

// ---------------------------------------------------------------------------------------------
// Threads, entering and thread-local slots

TEST_F(ThreadPoolTest, EnteringNestsAndTheLastLeaveEndsMembership) {
    Start();
    EXPECT_THROW(Thread::GetCurrent(), WrongThreadException);
    _pool->EnterThread();
    _pool->EnterThread();
    Ref<Thread> self = Thread::GetCurrent();
    EXPECT_EQ(self->GetThreadId(), KernelThreadId());
    _pool->LeaveThread();
    EXPECT_EQ(Thread::GetCurrent().Get(), self.Get());
    _pool->LeaveThread();
    EXPECT_EQ(Thread::TryGetCurrent(), nullptr);
    EXPECT_THROW(Thread::GetCurrent(), WrongThreadException);
}

TEST_F(ThreadPoolTest, ThreadLocalSlotsAreReusedAndValuesArePerThread) {
    Start();
    Enter();
    const int first = _pool->AllocThreadLocalIndex();
    const int second = _pool->AllocThreadLocalIndex();
    EXPECT_NE(first, second);
    _pool->FreeThreadLocalIndex(first);
    EXPECT_EQ(_pool->AllocThreadLocalIndex(), first);
    EXPECT_THROW(_pool->FreeThreadLocalIndex(9999), InvalidArgumentException);
    _pool->FreeThreadLocalIndex(second);
    EXPECT_THROW(_pool->FreeThreadLocalIndex(second), InvalidArgumentException);

    Ref<Thread> self = Thread::GetCurrent();
    Ref<Task> value = MakeTask([] {});
    self->SetThreadLocal(Thread::kMaxThreadLocalIndex, value);
    EXPECT_EQ(self->GetThreadLocal(Thread::kMaxThreadLocalIndex).Get(), value.Get());
    EXPECT_EQ(self->GetThreadLocal(-1).Get(), nullptr);
    EXPECT_EQ(self->GetThreadLocal(Thread::kMaxThreadLocalIndex + 1).Get(), nullptr);
    Testing::RunOnPoolThread(_pool, [&] {
        EXPECT_EQ(Thread::GetCurrent()->GetThreadLocal(Thread::kMaxThreadLocalIndex).Get(),
                  nullptr);
    });
}

TEST(ThreadPoolDeathTest, ThreadLocalIndexBeyondTheLimitIsAnAssertion) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Ref<ThreadPool> pool = MakePool();
            pool->EnterThread();
            Thread::GetCurrent()->SetThreadLocal(Thread::kMaxThreadLocalIndex + 1, nullptr);
        },
        ::testing::ExitedWithCode(255), "Assert failed!");
}

TEST_F(ThreadPoolTest, DedicatedThreadRunsItsTaskAsAPoolThreadAndCanBeJoined) {
    Start();
    std::atomic<int64_t> ranOn{0};
    std::atomic<bool> knewItself{false};
    Ref<Thread> thread;
    _pool->StartDedicatedThread(MakeTask([&] {
                                    knewItself =
                                        Thread::GetCurrent()->GetThreadId() == KernelThreadId();
                                    ranOn = KernelThreadId();
                                }),
                                thread);
    ASSERT_TRUE(thread);
    thread->Join();
    EXPECT_TRUE(knewItself.load());
    EXPECT_EQ(thread->GetThreadId(), ranOn.load());
    thread->TimedJoin(0);  // already ended: returns at once
}

TEST_F(ThreadPoolTest, TimedJoinOfARunningThreadFailsWithETIMEDOUT) {
    Start();
    Gate gate;
    Ref<Thread> thread;
    _pool->StartDedicatedThread(MakeTask([&] { gate.Pass(); }), thread);
    try {
        thread->TimedJoin(1000);
        FAIL() << "TimedJoin returned while the thread was blocked";
    } catch (const PosixSystemException& failure) {
        EXPECT_EQ(failure.GetErrorCode(), ETIMEDOUT);
    }
    gate.Open();
    thread->Join();
}

// ---------------------------------------------------------------------------------------------
// Timers

TEST_F(ThreadPoolTest, TimersRunInDueOrderAndEqualDueTimesInSchedulingOrder) {
    Start({{"TaskMax", "1"}});
    Enter();
    std::mutex mutex;
    std::vector<int> order;
    auto record = [&](int n) {
        return MakeTask([&, n] {
            std::lock_guard<std::mutex> guard(mutex);
            order.push_back(n);
        });
    };
    // Hold the only task thread so that all timers become due before any runs.
    Gate gate;
    _pool->QueueWork(MakeTask([&] { gate.Pass(); }));
    Ref<ScheduledItem> item;
    _pool->ScheduleTimer(record(3), 30000, item);
    for (int n = 0; n < 3; ++n) {
        _pool->ScheduleTimer(record(n), 0, item);
    }
    _pool->ScheduleTimer(record(4), 40000, item);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    gate.Open();
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> guard(mutex);
        return order.size() == 5;
    }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST_F(ThreadPoolTest, ManyCancelledTimersLeaveTheOthersFiringInOrder) {
    Start({{"TaskMax", "1"}});
    Enter();
    std::vector<Ref<ScheduledItem>> cancelled;
    Ref<ScheduledItem> item;
    for (int i = 0; i < 3000; ++i) {
        _pool->ScheduleTimer(MakeTask([] { ADD_FAILURE() << "a cancelled timer ran"; }),
                             3600LL * 1000 * 1000, item);
        cancelled.push_back(item);
    }
    std::mutex mutex;
    std::vector<int> order;
    Gate gate;
    _pool->QueueWork(MakeTask([&] { gate.Pass(); }));
    for (int n = 0; n < 4; ++n) {
        _pool->ScheduleTimer(MakeTask([&, n] {
                                 std::lock_guard<std::mutex> guard(mutex);
                                 order.push_back(n);
                             }),
                             n * 1000, item);
    }
    for (auto& timer : cancelled) {
        EXPECT_TRUE(timer->Cancel());  // the heap is rebuilt along the way
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    gate.Open();
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> guard(mutex);
        return order.size() == 4;
    }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
    for (auto& timer : cancelled) {
        EXPECT_FALSE(timer->Cancel());
    }
}

TEST_F(ThreadPoolTest, ZeroDelayTimerRunsOnAWorkerNotOnTheCaller) {
    Start();
    std::atomic<int64_t> ranOn{0};
    Ref<ScheduledItem> item;
    _pool->ScheduleTimer(MakeTask([&] { ranOn = KernelThreadId(); }), 0, item);
    ASSERT_TRUE(WaitUntil([&] { return ranOn != 0; }));
    EXPECT_NE(ranOn.load(), KernelThreadId());
}

TEST_F(ThreadPoolTest, NegativeDelayIsAnInvalidArgument) {
    Start();
    Ref<ScheduledItem> item;
    EXPECT_THROW(_pool->ScheduleTimer(MakeTask([] {}), -1, item), InvalidArgumentException);
}

TEST_F(ThreadPoolTest, CancelledTimerNeverRunsAndASecondCancelReturnsFalse) {
    Start();
    Enter();
    std::atomic<int> ran{0};
    Ref<ScheduledItem> item;
    _pool->ScheduleTimer(MakeTask([&] { ++ran; }), 50000, item);
    item->SetUserObject(item);  // the owner's slot keeps any object
    EXPECT_EQ(item->GetUserObject().Get(), static_cast<Object*>(item.Get()));
    item->SetUserObject(nullptr);
    EXPECT_TRUE(item->Cancel());
    EXPECT_FALSE(item->Cancel());
    Ref<ScheduledItem> marker;
    std::atomic<bool> markerRan{false};
    _pool->ScheduleTimer(MakeTask([&] { markerRan = true; }), 80000, marker);
    ASSERT_TRUE(WaitUntil([&] { return markerRan.load(); }));
    EXPECT_EQ(ran.load(), 0);
}

TEST_F(ThreadPoolTest, FiredTimerCannotBeCancelledAndCancelOffThePoolIsWrongThread) {
    Start();
    std::atomic<bool> ran{false};
    Ref<ScheduledItem> item;
    _pool->ScheduleTimer(MakeTask([&] { ran = true; }), 0, item);
    ASSERT_TRUE(WaitUntil([&] { return ran.load(); }));
    EXPECT_THROW(item->Cancel(), WrongThreadException);
    Enter();
    EXPECT_FALSE(item->Cancel());
}

// ---------------------------------------------------------------------------------------------
// Pollables

class EventFd {
public:
    EventFd() : _fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~EventFd() { close(_fd); }
    void Signal() {
        const uint64_t one = 1;
        ASSERT_EQ(write(_fd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    }
    int Get() const { return _fd; }

private:
    int _fd;
};

TEST_F(ThreadPoolTest, PollableWhoseDescriptorStaysReadableFiresOnce) {
    Start();
    EventFd first, second;
    std::atomic<int> firstFired{0}, secondFired{0};
    Ref<ScheduledItem> item;
    _pool->AddPollable(MakeTask([&] { ++firstFired; }), first.Get(), item);
    first.Signal();  // never drained: stays readable
    ASSERT_TRUE(WaitUntil([&] { return firstFired.load() == 1; }));
    // Another pollable on the same thread firing proves the thread went round its loop again.
    _pool->AddPollable(MakeTask([&] { ++secondFired; }), second.Get(), item);
    second.Signal();
    ASSERT_TRUE(WaitUntil([&] { return secondFired.load() == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return secondFired.load() == 1; }, std::chrono::milliseconds(20)));
    EXPECT_EQ(firstFired.load(), 1);
}

TEST_F(ThreadPoolTest, CancelledPollableNeverFires) {
    Start();
    Enter();
    EventFd fd;
    std::atomic<int> fired{0};
    Ref<ScheduledItem> item;
    _pool->AddPollable(MakeTask([&] { ++fired; }), fd.Get(), item);
    EXPECT_TRUE(item->Cancel());
    EXPECT_FALSE(item->Cancel());
    fd.Signal();
    EventFd marker;
    std::atomic<bool> markerFired{false};
    Ref<ScheduledItem> markerItem;
    _pool->AddPollable(MakeTask([&] { markerFired = true; }), marker.Get(), markerItem);
    marker.Signal();
    ASSERT_TRUE(WaitUntil([&] { return markerFired.load(); }));
    EXPECT_EQ(fired.load(), 0);
}

TEST_F(ThreadPoolTest, MoreThanThreeTimesSixtyThreePollablesAreNotSupported) {
    Start();
    std::vector<std::unique_ptr<EventFd>> fds;
    Ref<ScheduledItem> item;
    for (int i = 0; i < 3 * 63; ++i) {
        fds.push_back(std::make_unique<EventFd>());
        _pool->AddPollable(MakeTask([] {}), fds.back()->Get(), item);
    }
    EventFd extra;
    EXPECT_THROW(_pool->AddPollable(MakeTask([] {}), extra.Get(), item), NotSupportedException);
}

// ---------------------------------------------------------------------------------------------
// Registered descriptors (key 1) and connect notifications (key 2)

// Records completions; each test operation reads or writes a socket.
class RecordingHandler final : public IoCompletionHandler, public ObjectImpl {
public:
    struct Record {
        IoOperation* operation;
        int64_t bytes;
        std::string errorType;
        int64_t threadId;
    };

    void OnIoCompletion(IoOperation* operation, int64_t bytes, const Exception* error) override {
        std::lock_guard<std::mutex> guard(_mutex);
        std::string type;
        if (error != nullptr) {
            type = dynamic_cast<const CanceledException*>(error) != nullptr ? "canceled"
                   : dynamic_cast<const PosixSystemException*>(error) != nullptr
                       ? "posix:" + std::to_string(
                                        static_cast<const SystemException*>(error)->GetErrorCode())
                       : "other";
        }
        _records.push_back(Record{operation, bytes, type, KernelThreadId()});
    }
    std::vector<Record> Records() {
        std::lock_guard<std::mutex> guard(_mutex);
        return _records;
    }
    size_t Count() { return Records().size(); }

private:
    std::mutex _mutex;
    std::vector<Record> _records;
};

class ReadOperation final : public IoOperation {
public:
    ReadOperation() : IoOperation(Direction::Read) {}
    bool Perform(int fd, int64_t& bytes, int& error) override {
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return false;
        }
        bytes = got < 0 ? 0 : got;
        error = got < 0 ? errno : 0;
        return true;
    }
    char buffer[64];
};

class WriteOperation final : public IoOperation {
public:
    explicit WriteOperation(std::string data)
        : IoOperation(Direction::Write), text(std::move(data)) {}
    bool Perform(int fd, int64_t& bytes, int& error) override {
        const ssize_t sent = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return false;
        }
        bytes = sent < 0 ? 0 : sent;
        error = sent < 0 ? errno : 0;
        return true;
    }
    std::string text;
};

class RegisteredSocketTest : public ThreadPoolTest {
protected:
    void SetUp() override {
        Start();
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, _fds), 0);
        _handler = new RecordingHandler();
        static_cast<ThreadPoolPosix*>(_pool.Get())
            ->AssociateHandle(_fds[0], _handler, _registration);
    }
    void TearDown() override {
        _registration->Cancel();
        if (_secondRegistration) {
            _secondRegistration->Cancel();
        }
        ThreadPoolTest::TearDown();
        for (int fd : {_fds[0], _fds[1], _second[0], _second[1]}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }

    // Registers one end of a second socket pair (_second) with `handler`.
    IoRegistration& RegisterSecondPair(const Ref<IoCompletionHandler>& handler) {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, _second), 0);
        static_cast<ThreadPoolPosix*>(_pool.Get())
            ->AssociateHandle(_second[0], handler, _secondRegistration);
        return *_secondRegistration;
    }
    // From a callback: waits up to 10 s for the fixture's handler to record a completion.
    bool AwaitFixtureCompletion() {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (_handler->Count() == 0 && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return _handler->Count() > 0;
    }

    int _fds[2] = {-1, -1};
    int _second[2] = {-1, -1};
    Ref<IoRegistration> _secondRegistration;
    Ref<RecordingHandler> _handler;
    Ref<IoRegistration> _registration;
};

TEST_F(RegisteredSocketTest, ReadCompletesOnAWorkerWhenDataArrives) {
    ReadOperation read;
    _registration->Start(&read);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(_handler->Count(), 0u);
    ASSERT_EQ(write(_fds[1], "hello", 5), 5);
    ASSERT_TRUE(WaitUntil([&] { return _handler->Count() == 1; }));
    const auto record = _handler->Records()[0];
    EXPECT_EQ(record.operation, &read);
    EXPECT_EQ(record.bytes, 5);
    EXPECT_EQ(record.errorType, "");
    EXPECT_NE(record.threadId, KernelThreadId());
    EXPECT_EQ(std::string(read.buffer, 5), "hello");
}

TEST_F(RegisteredSocketTest, WriteThatCompletesAtOnceIsStillDeliveredThroughTheQueue) {
    WriteOperation writeOp("ping");
    _registration->Start(&writeOp);
    // Start never delivers inline: whatever the timing, the record comes from a worker.
    ASSERT_TRUE(WaitUntil([&] { return _handler->Count() == 1; }));
    const auto record = _handler->Records()[0];
    EXPECT_EQ(record.bytes, 4);
    EXPECT_NE(record.threadId, KernelThreadId());
    char got[8] = {};
    ASSERT_EQ(read(_fds[1], got, sizeof got), 4);
}

TEST_F(RegisteredSocketTest, ReadAndWriteMayBeOutstandingTogether) {
    ReadOperation read;
    _registration->Start(&read);
    WriteOperation writeOp("x");
    _registration->Start(&writeOp);
    ASSERT_TRUE(WaitUntil([&] { return _handler->Count() == 1; }));
    ASSERT_EQ(write(_fds[1], "abc", 3), 3);
    ASSERT_TRUE(WaitUntil([&] { return _handler->Count() == 2; }));
    std::set<IoOperation*> completed;
    for (const auto& record : _handler->Records()) {
        completed.insert(record.operation);
    }
    EXPECT_EQ(completed, (std::set<IoOperation*>{&read, &writeOp}));
}

TEST_F(RegisteredSocketTest, PeerCloseCompletesAPendingReadWithZeroBytes) {
    ReadOperation read;
    _registration->Start(&read);
    close(_fds[1]);
    _fds[1] = -1;
    ASSERT_TRUE(WaitUntil([&] { return _handler->Count() == 1; }));
    EXPECT_EQ(_handler->Records()[0].bytes, 0);
    EXPECT_EQ(_handler->Records()[0].errorType, "");
}

TEST_F(RegisteredSocketTest, CancelCompletesPendingOperationsAsCanceledAndLaterOnesToo) {
    ReadOperation read;
    _registration->Start(&read);
    _registration->Cancel();
    ASSERT_TRUE(WaitUntil([&] { return _handler->Count() == 1; }));
    EXPECT_EQ(_handler->Records()[0].errorType, "canceled");
    // Data arriving after the cancel is not read by the pool.
    ASSERT_EQ(write(_fds[1], "late", 4), 4);
    ReadOperation again;
    _registration->Start(&again);
    ASSERT_TRUE(WaitUntil([&] { return _handler->Count() == 2; }));
    EXPECT_EQ(_handler->Records()[1].errorType, "canceled");
    char got[8];
    EXPECT_EQ(recv(_fds[0], got, sizeof got, 0), 4);
}

TEST_F(RegisteredSocketTest, CompletionsAreDeliveredWhileEveryTaskThreadIsBlocked) {
    StopPool(_pool);
    _registration->Cancel();
    Start({{"TaskMax", "2"}, {"IoMin", "1"}, {"IoMax", "1"}});
    static_cast<ThreadPoolPosix*>(_pool.Get())->AssociateHandle(_fds[0], _handler, _registration);
    Gate gate;
    std::atomic<int> running{0}, finished{0};
    for (int i = 0; i < 4; ++i) {
        _pool->QueueWork(MakeTask([&] {
            ++running;
            gate.Pass();
            ++finished;
        }));
    }
    ASSERT_TRUE(WaitUntil([&] { return running.load() == 2; }));
    // TaskMax tasks block; the thread kept free for I/O still serves the descriptor.
    ReadOperation read;
    _registration->Start(&read);
    ASSERT_EQ(write(_fds[1], "io", 2), 2);
    ASSERT_TRUE(WaitUntil([&] { return _handler->Count() == 1; }));
    EXPECT_EQ(running.load(), 2);
    gate.Open();
    ASSERT_TRUE(WaitUntil([&] { return finished.load() == 4; }));
}

class CallingHandler final : public IoCompletionHandler, public ObjectImpl {
public:
    explicit CallingHandler(std::function<void()> onCompletion)
        : _onCompletion(std::move(onCompletion)) {}
    void OnIoCompletion(IoOperation*, int64_t, const Exception*) override { _onCompletion(); }

private:
    std::function<void()> _onCompletion;
};

// Whichever worker waits for readiness may be the one that runs a long callback, blocked on
// something the pool does not know of: another worker must take over the waiting meanwhile.
TEST_F(RegisteredSocketTest, CompletionsGoOnWhileACallbackBlocksOutsideThePool) {
    std::atomic<bool> blocked{false};
    std::atomic<bool> sawTheOther{false};
    IoRegistration& first = RegisterSecondPair(new CallingHandler([&] {
        blocked = true;
        sawTheOther = AwaitFixtureCompletion();
    }));
    ReadOperation firstRead, secondRead;
    first.Start(&firstRead);
    _registration->Start(&secondRead);
    ASSERT_EQ(write(_second[1], "1", 1), 1);
    ASSERT_TRUE(WaitUntil([&] { return blocked.load(); }));
    ASSERT_EQ(write(_fds[1], "2", 1), 1);
    ASSERT_TRUE(WaitUntil([&] { return sawTheOther.load(); }));
}

// A callback that cancels an operation (its completion is deferred to the callback's own
// worker) and then waits for that completion must get it even when the pool shuts down between
// the two: a leaving worker stays for it.
TEST_F(RegisteredSocketTest, ShutdownDeliversWhatABusyCallbackPostsAndThenWaitsFor) {
    std::atomic<bool> cancelled{false}, goOn{false}, delivered{false};
    IoRegistration& trigger = RegisterSecondPair(new CallingHandler([&] {
        _registration->Cancel();  // the pending read's completion goes to this worker's queue
        cancelled = true;
        while (!goOn.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ThreadPoolPosix::PrepareCurrentThreadToWait();
        delivered = AwaitFixtureCompletion();
    }));
    ReadOperation pendingRead, triggerRead;
    _registration->Start(&pendingRead);
    trigger.Start(&triggerRead);
    ASSERT_EQ(write(_second[1], "go", 2), 2);
    ASSERT_TRUE(WaitUntil([&] { return cancelled.load(); }));
    _pool->Shutdown();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // idle workers would leave
    goOn = true;
    ASSERT_TRUE(_pool->WaitForThreads(20000000));
    EXPECT_TRUE(delivered.load());
    ASSERT_EQ(_handler->Count(), 1u);
    EXPECT_EQ(_handler->Records()[0].errorType, "canceled");
}

class RecordingConnect final : public ConnectCallback, public ObjectImpl {
public:
    void OnConnectComplete(const Exception* error) override {
        code = error == nullptr ? 0
               : dynamic_cast<const SystemException*>(error) != nullptr
                   ? static_cast<const SystemException*>(error)->GetErrorCode()
                   : -1;
        done = true;
    }
    std::atomic<bool> done{false};
    std::atomic<int> code{-2};
};

int NonBlockingConnect(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int rc = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    EXPECT_TRUE(rc == 0 || errno == EINPROGRESS) << strerror(errno);
    return fd;
}

uint16_t ListeningPort(int listener) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

TEST_F(ThreadPoolTest, ConnectNotificationsReportSuccessAndRefusal) {
    Start();
    auto* pool = static_cast<ThreadPoolPosix*>(_pool.Get());
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 5), 0);
    const uint16_t open = ListeningPort(listener);

    const int good = NonBlockingConnect(open);
    Ref<RecordingConnect> goodResult(new RecordingConnect());
    pool->RegisterConnect(good, goodResult);
    ASSERT_TRUE(WaitUntil([&] { return goodResult->done.load(); }));
    EXPECT_EQ(goodResult->code.load(), 0);

    // A port that was just free: nothing listens there.
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const uint16_t closed = ListeningPort(probe);
    close(probe);
    const int bad = NonBlockingConnect(closed);
    Ref<RecordingConnect> badResult(new RecordingConnect());
    pool->RegisterConnect(bad, badResult);
    ASSERT_TRUE(WaitUntil([&] { return badResult->done.load(); }));
    EXPECT_EQ(badResult->code.load(), ECONNREFUSED);

    const int withdrawn = NonBlockingConnect(open);
    Ref<RecordingConnect> never(new RecordingConnect());
    pool->RegisterConnect(withdrawn, never);
    // Either the registration is withdrawn, or the timer thread took it first and the
    // notification is on its way; never both, never neither.
    if (!pool->CancelConnect(withdrawn)) {
        EXPECT_TRUE(WaitUntil([&] { return never->done.load(); }));
    }
    EXPECT_FALSE(pool->CancelConnect(withdrawn));
    close(withdrawn);
    close(good);
    close(bad);
    close(listener);
}

// ---------------------------------------------------------------------------------------------
// Stress: shutdown while work is in flight, timers scheduled and cancelled from many threads

TEST_F(ThreadPoolTest, ShutdownWithTasksTimersAndPollablesInFlightIsClean) {
    for (int round = 0; round < 5; ++round) {
        Ref<ThreadPool> pool = MakePool({{"TaskMax", "4"}});
        std::atomic<bool> stopped{false};
        std::atomic<int> ranAfterStop{0};
        std::vector<std::unique_ptr<EventFd>> fds;
        Ref<ScheduledItem> item;
        auto work = [&] {
            if (stopped.load()) {
                ++ranAfterStop;
            }
        };
        for (int i = 0; i < 20; ++i) {
            fds.push_back(std::make_unique<EventFd>());
            pool->AddPollable(MakeTask(work), fds.back()->Get(), item);
            if (i % 2 == 0) {
                fds.back()->Signal();
            }
        }
        for (int i = 0; i < 500; ++i) {
            pool->QueueWork(MakeTask(work));
            pool->ScheduleTimer(MakeTask(work), (i % 50) * 100, item);
        }
        pool->Shutdown();
        // A task already running when Shutdown returned may finish; nothing starts afterwards.
        ASSERT_TRUE(pool->WaitForThreads(20 * 1000 * 1000));
        stopped = true;
        for (auto& fd : fds) {
            fd->Signal();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(ranAfterStop.load(), 0);
    }
}

TEST_F(ThreadPoolTest, TimersScheduledAndCancelledFromManyThreadsAllResolveOnce) {
    Start();
    constexpr int kThreads = 4;
    constexpr int kTimersPerThread = 500;
    std::atomic<int> fired{0}, cancelled{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            _pool->EnterThread();
            std::mt19937 random(static_cast<unsigned>(t));
            for (int i = 0; i < kTimersPerThread; ++i) {
                Ref<ScheduledItem> item;
                _pool->ScheduleTimer(MakeTask([&] { ++fired; }), random() % 3000, item);
                if (random() % 2 == 0 && item->Cancel()) {
                    ++cancelled;
                }
            }
            _pool->LeaveThread();
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    ASSERT_TRUE(
        WaitUntil([&] { return fired.load() + cancelled.load() == kThreads * kTimersPerThread; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(fired.load() + cancelled.load(), kThreads * kTimersPerThread);
}

}  // namespace
}  // namespace Tarvos::System
