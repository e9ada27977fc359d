#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/system/Condition.h"
#include "tarvos/system/Mutex.h"
#include "tarvos/system/RWLock.h"
#include "tarvos/system/SystemFactory.h"
#include "tarvos/system/ThreadLockableObjectImpl.h"
#include "tarvos/system/WaitableObjectImpl.h"
#include "tarvos/system/internal/PoolTestSupport.h"

namespace Tarvos::System {
namespace {

using Testing::Gate;
using Testing::WaitUntil;

// Every test runs with a pool that its threads enter: waits are allowed on pool threads only.
class SyncTest : public ::testing::Test {
protected:
    void SetUp() override {
        _pool = Testing::MakePool();
        _pool->EnterThread();
    }
    void TearDown() override {
        _pool->LeaveThread();
        Testing::StopPool(_pool);
    }

    // Starts a thread that is a thread of the pool while `body` runs.
    std::thread Spawn(std::function<void()> body) {
        return std::thread([this, body = std::move(body)] {
            _pool->EnterThread();
            body();
            _pool->LeaveThread();
        });
    }

    Ref<ThreadPool> _pool;
};

// ---------------------------------------------------------------------------------------------
// Mutex

TEST_F(SyncTest, MutexReportsWhetherAnyThreadHoldsIt) {
    Ref<Mutex> mutex = NewMutex();
    EXPECT_FALSE(mutex->IsLocked());
    mutex->Lock();
    EXPECT_TRUE(mutex->IsLocked());
    std::thread other([&] { EXPECT_TRUE(mutex->IsLocked()); });
    other.join();
    mutex->Unlock();
    EXPECT_FALSE(mutex->IsLocked());
}

TEST_F(SyncTest, MutexExcludesConcurrentHolders) {
    Ref<Mutex> mutex = NewMutex();
    int counter = 0;  // guarded by mutex; a lost update shows a broken exclusion
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                ScopedLock hold(*mutex);
                ++counter;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, 80000);
}

TEST(SyncDeathTest, MutexMisuseIsAnAssertion) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Ref<Mutex> mutex = NewMutex();
            mutex->Lock();
            mutex->Lock();
        },
        ::testing::ExitedWithCode(255), "Assert failed!");
    EXPECT_EXIT(NewMutex()->Unlock(), ::testing::ExitedWithCode(255), "Assert failed!");
    EXPECT_EXIT(
        {
            Ref<Mutex> mutex = NewMutex();
            mutex->Lock();
            std::thread other([&] { mutex->Unlock(); });
            other.join();
        },
        ::testing::ExitedWithCode(255), "Assert failed!");
}

TEST_F(SyncTest, ThreadLockableObjectRecordsItsOwner) {
    Ref<ThreadLockableObjectImpl> object(new ThreadLockableObjectImpl());
    object->Lock();
    EXPECT_TRUE(object->IsLocked());
    EXPECT_TRUE(object->IsLockedByCurrentThread());
    EXPECT_EQ(object->GetOwnerThreadId(), static_cast<int64_t>(gettid()));
    std::thread other([&] { EXPECT_FALSE(object->IsLockedByCurrentThread()); });
    other.join();
    object->Unlock();
    EXPECT_FALSE(object->IsLocked());
    EXPECT_EQ(object->GetOwnerThreadId(), 0);
}

// ---------------------------------------------------------------------------------------------
// Condition

TEST(ConditionOffPoolTest, WaitingOffAPoolThreadIsWrongThread) {
    Ref<Mutex> mutex = NewMutex();
    Ref<Condition> condition = NewCondition();
    mutex->Lock();
    EXPECT_THROW(condition->TimedWait(*mutex, 1000), WrongThreadException);
    EXPECT_TRUE(mutex->IsLocked());  // the caller still holds its lock
    mutex->Unlock();
}

TEST_F(SyncTest, TimedWaitBelowOneMillisecondReturnsFalseAtOnceAndRelocks) {
    Ref<Mutex> mutex = NewMutex();
    Ref<Condition> condition = NewCondition();
    mutex->Lock();
    EXPECT_FALSE(condition->TimedWait(*mutex, 999));
    EXPECT_TRUE(mutex->IsLocked());
    EXPECT_FALSE(condition->TimedWait(*mutex, -5));
    mutex->Unlock();
}

TEST_F(SyncTest, BroadcastWithoutWaitersIsNotRemembered) {
    Ref<Mutex> mutex = NewMutex();
    Ref<Condition> condition = NewCondition();
    condition->Broadcast();
    condition->Signal();
    mutex->Lock();
    EXPECT_FALSE(condition->TimedWait(*mutex, 20000));
    mutex->Unlock();
}

TEST_F(SyncTest, SignalWakesWaitersInTheOrderTheyBeganToWait) {
    Ref<Mutex> mutex = NewMutex();
    Ref<Condition> condition = NewCondition();
    constexpr int kWaiters = 5;
    std::atomic<int> waiting{0};
    std::vector<int> wakeOrder;  // guarded by mutex
    std::vector<std::thread> threads;
    for (int i = 0; i < kWaiters; ++i) {
        threads.push_back(Spawn([&, i] {
            mutex->Lock();
            ++waiting;
            EXPECT_TRUE(condition->TimedWait(*mutex, 20 * 1000 * 1000));
            wakeOrder.push_back(i);
            mutex->Unlock();
        }));
        // The next waiter starts only once this one is queued: it holds no lock while waiting.
        ASSERT_TRUE(WaitUntil([&] {
            ScopedLock hold(*mutex);
            return waiting.load() == i + 1;
        }));
    }
    for (int i = 0; i < kWaiters; ++i) {
        mutex->Lock();
        condition->Signal();
        mutex->Unlock();
        ASSERT_TRUE(WaitUntil([&] {
            ScopedLock hold(*mutex);
            return static_cast<int>(wakeOrder.size()) == i + 1;
        }));
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wakeOrder, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST_F(SyncTest, BroadcastWakesEveryWaiter) {
    Ref<Mutex> mutex = NewMutex();
    Ref<Condition> condition = NewCondition();
    std::atomic<int> waiting{0}, woken{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.push_back(Spawn([&] {
            mutex->Lock();
            ++waiting;
            if (condition->TimedWait(*mutex, 20 * 1000 * 1000)) {
                ++woken;
            }
            mutex->Unlock();
        }));
    }
    ASSERT_TRUE(WaitUntil([&] {
        ScopedLock hold(*mutex);
        return waiting.load() == 4;
    }));
    mutex->Lock();
    condition->Broadcast();
    mutex->Unlock();
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(woken.load(), 4);
}

TEST_F(SyncTest, SignalsRacingTimeOutsAreNeitherLostNorCountedTwice) {
    // Waiters with very short time-outs race with signals: every signal that took a waiter's
    // event must be reported by that waiter as signalled, so signals taken == waits signalled.
    Ref<Mutex> mutex = NewMutex();
    Ref<Condition> condition = NewCondition();
    std::atomic<bool> stop{false};
    std::atomic<int> signalledWaits{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.push_back(Spawn([&] {
            while (!stop.load()) {
                ScopedLock hold(*mutex);
                if (condition->TimedWait(*mutex, 1000)) {
                    ++signalledWaits;
                }
            }
        }));
    }
    for (int i = 0; i < 2000; ++i) {
        condition->Signal();
        if (i % 64 == 0) {
            std::this_thread::yield();
        }
    }
    stop = true;
    for (auto& waiter : waiters) {
        waiter.join();
    }
    // Nothing left queued: a late signal finds no stale event.
    mutex->Lock();
    condition->Signal();
    EXPECT_FALSE(condition->TimedWait(*mutex, 1000));
    mutex->Unlock();
    EXPECT_GE(signalledWaits.load(), 0);
}

TEST_F(SyncTest, WaitableObjectWaitsOnItsOwnLock) {
    Ref<WaitableObjectImpl> object(new WaitableObjectImpl());
    bool ready = false;  // guarded by object
    std::thread waiter = Spawn([&] {
        ScopedLock hold(*object);
        while (!ready) {
            object->Wait();
        }
    });
    {
        ScopedLock hold(*object);
        ready = true;
        object->Broadcast();
    }
    waiter.join();
    ScopedLock hold(*object);
    EXPECT_FALSE(object->TimedWait(1000));
}

// ---------------------------------------------------------------------------------------------
// Reader/writer lock

TEST_F(SyncTest, ReadHoldsNestAndAreVisibleOnlyToTheirThread) {
    Ref<RWLock> lock = NewRWLock();
    EXPECT_TRUE(lock->IsUnlocked());
    lock->LockRead();
    lock->LockRead();
    EXPECT_TRUE(lock->IsLockedRead());
    EXPECT_FALSE(lock->IsLockedWrite());
    std::thread other = Spawn([&] {
        EXPECT_TRUE(lock->IsUnlocked());
        lock->LockRead();  // readers share
        EXPECT_TRUE(lock->IsLockedRead());
        lock->Unlock();
    });
    other.join();
    lock->Unlock();
    EXPECT_TRUE(lock->IsLockedRead());
    lock->Unlock();
    EXPECT_TRUE(lock->IsUnlocked());
}

TEST_F(SyncTest, WriterWaitsForReadersAndExcludesThem) {
    Ref<RWLock> lock = NewRWLock();
    lock->LockRead();
    std::atomic<bool> writing{false};
    std::thread writer = Spawn([&] {
        lock->LockWrite();
        writing = true;
        EXPECT_TRUE(lock->IsLockedWrite());
        lock->Unlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(writing.load());
    lock->Unlock();
    writer.join();
    EXPECT_TRUE(writing.load());
}

TEST_F(SyncTest, OfTwoReadersUpgradingOneFailsAtOnceKeepingItsHoldAndTheOtherWaitsForIt) {
    Ref<RWLock> lock = NewRWLock();
    std::atomic<int> reading{0}, succeeded{0}, failed{0};
    auto upgrader = [&] {
        lock->LockRead();
        ++reading;
        ASSERT_TRUE(WaitUntil([&] { return reading.load() == 2; }));
        if (lock->TryUpgrade()) {
            // Only possible once the other reader let go of its hold.
            EXPECT_EQ(failed.load(), 1);
            EXPECT_TRUE(lock->IsLockedWrite());
            ++succeeded;
        } else {
            EXPECT_TRUE(lock->IsLockedRead());
            ++failed;
        }
        lock->Unlock();
    };
    std::thread first = Spawn(upgrader);
    std::thread second = Spawn(upgrader);
    first.join();
    second.join();
    EXPECT_EQ(succeeded.load(), 1);
    EXPECT_EQ(failed.load(), 1);
    EXPECT_TRUE(lock->IsUnlocked());
}

TEST_F(SyncTest, UpgraderIsWokenEvenWhenAWriterQueuedBeforeIt) {
    Ref<RWLock> lock = NewRWLock();
    Gate otherReading, release;
    std::atomic<bool> writerDone{false}, upgraded{false};
    std::thread reader = Spawn([&] {
        lock->LockRead();
        otherReading.Open();
        release.Pass();
        lock->Unlock();
    });
    ASSERT_TRUE(otherReading.Pass());
    lock->LockRead();
    std::thread writer = Spawn([&] {
        lock->LockWrite();  // queues first: the count is 2
        writerDone = true;
        lock->Unlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        release.Open();  // the count falls to 1 while we upgrade
    });
    EXPECT_TRUE(lock->TryUpgrade());
    upgraded = true;
    EXPECT_FALSE(writerDone.load());
    lock->Unlock();
    writer.join();
    reader.join();
    opener.join();
    EXPECT_TRUE(writerDone.load());
}

TEST_F(SyncTest, DowngradeKeepsAReadHoldAndAdmitsOtherReaders) {
    Ref<RWLock> lock = NewRWLock();
    lock->LockWrite();
    std::atomic<bool> readerIn{false};
    std::thread reader = Spawn([&] {
        lock->LockRead();
        readerIn = true;
        lock->Unlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(readerIn.load());
    lock->Downgrade();
    EXPECT_TRUE(lock->IsLockedRead());
    EXPECT_FALSE(lock->IsLockedWrite());
    reader.join();
    EXPECT_TRUE(readerIn.load());
    lock->Unlock();
}

// A thread outside every pool that would have to wait gets WrongThreadException and leaves the
// lock as it found it: usable by everybody afterwards.
TEST_F(SyncTest, WaitRefusedOffAPoolThreadLeavesTheLockUsable) {
    Ref<RWLock> lock = NewRWLock();
    lock->LockWrite();
    std::thread([&] {
        EXPECT_THROW(lock->LockRead(), WrongThreadException);
        EXPECT_THROW(lock->LockWrite(), WrongThreadException);
        EXPECT_FALSE(lock->IsLockedRead());
    }).join();
    lock->Unlock();
    std::thread([&] {
        lock->LockRead();  // uncontended: no wait needed, so any thread may
        lock->Unlock();
        lock->LockWrite();
        lock->Unlock();
    }).join();
    lock->LockRead();
    std::thread([&] { EXPECT_THROW(lock->LockWrite(), WrongThreadException); }).join();
    EXPECT_TRUE(lock->TryUpgrade());
    lock->Unlock();
}

TEST(RWLockDeathTest, MisuseIsAnAssertion) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto withPool = [](const std::function<void(RWLock&)>& body) {
        Ref<ThreadPool> pool = Testing::MakePool();
        pool->EnterThread();
        Ref<RWLock> lock = NewRWLock();
        body(*lock);
    };
    EXPECT_EXIT(withPool([](RWLock& l) { l.Unlock(); }), ::testing::ExitedWithCode(255),
                "Assert failed!");
    EXPECT_EXIT(withPool([](RWLock& l) {
                    l.LockRead();
                    l.LockWrite();
                }),
                ::testing::ExitedWithCode(255), "Assert failed!");
    EXPECT_EXIT(withPool([](RWLock& l) {
                    l.LockRead();
                    l.LockRead();
                    l.TryUpgrade();
                }),
                ::testing::ExitedWithCode(255), "Assert failed!");
    EXPECT_EXIT(withPool([](RWLock& l) {
                    l.LockRead();
                    l.Downgrade();
                }),
                ::testing::ExitedWithCode(255), "Assert failed!");
}

TEST_F(SyncTest, ManyThreadsReadingWritingUpgradingAndDowngradingKeepTheInvariant) {
    Ref<RWLock> lock = NewRWLock();
    // Under the lock: readers see `a == b`; writers change both.
    std::atomic<int> a{0}, b{0}, violations{0};
    std::atomic<int> readersInside{0}, writersInside{0};
    auto checkRead = [&] {
        ++readersInside;
        if (writersInside.load() != 0 || a.load() != b.load()) {
            ++violations;
        }
        --readersInside;
    };
    auto write = [&] {
        if (++writersInside != 1 || readersInside.load() != 0) {
            ++violations;
        }
        a.fetch_add(1);
        b.fetch_add(1);
        --writersInside;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.push_back(Spawn([&, t] {
            std::mt19937 random(static_cast<unsigned>(t) * 7919u);
            for (int i = 0; i < 1500; ++i) {
                switch (random() % 4) {
                    case 0:
                        lock->LockRead();
                        checkRead();
                        lock->Unlock();
                        break;
                    case 1:
                        lock->LockWrite();
                        write();
                        lock->Unlock();
                        break;
                    case 2:
                        lock->LockRead();
                        checkRead();
                        if (lock->TryUpgrade()) {
                            write();
                        } else {
                            checkRead();
                        }
                        lock->Unlock();
                        break;
                    default:
                        lock->LockWrite();
                        write();
                        lock->Downgrade();
                        checkRead();
                        lock->Unlock();
                        break;
                }
                EXPECT_TRUE(lock->IsUnlocked());
            }
        }));
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(a.load(), b.load());
}

}  // namespace
}  // namespace Tarvos::System
