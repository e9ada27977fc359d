#include "tarvos/core/internal/SessionRWLock.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/core/Ref.h"
#include "tarvos/core/internal/SessionTestSupport.h"

namespace Tarvos {
namespace {

using Testing::WaitUntil;

class Lockable final : public SessionRWLock {};

// Plain threads throughout: waiting must work off every thread pool.
class SessionRWLockTest : public ::testing::Test {
protected:
    // Gives a thread that should stay blocked a chance to (wrongly) get through.
    static void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

    Ref<Lockable> _lock{new Lockable()};
};

TEST_F(SessionRWLockTest, WriterWaitsForReadersWhileNewReadersGetIn) {
    _lock->LockRead();
    _lock->LockRead();
    EXPECT_TRUE(_lock->IsLockedRead());
    std::atomic<bool> written{false}, read{false};
    std::thread writer([&] {
        EXPECT_TRUE(_lock->IsUnlocked());  // the holds are the main thread's
        _lock->LockWrite();
        written = true;
        _lock->Unlock();
    });
    Pause();
    std::thread reader([&] {
        _lock->LockRead();
        read = true;
        _lock->Unlock();
    });
    ASSERT_TRUE(WaitUntil([&] { return read.load(); }));  // reader preference
    _lock->Unlock();
    EXPECT_FALSE(written.load());
    _lock->Unlock();
    writer.join();
    reader.join();
    EXPECT_TRUE(written.load());
    EXPECT_TRUE(_lock->IsUnlocked());
}

TEST_F(SessionRWLockTest, OfTwoReadersUpgradingAtOnceExactlyOneSucceeds) {
    for (int round = 0; round < 50; ++round) {
        std::atomic<int> reading{0}, upgraded{0};
        auto contender = [&] {
            _lock->LockRead();
            ++reading;
            while (reading.load() < 2) {
                std::this_thread::yield();
            }
            upgraded += _lock->TryUpgrade() ? 1 : 0;
            _lock->Unlock();
        };
        std::thread first(contender), second(contender);
        first.join();
        second.join();
        ASSERT_EQ(upgraded.load(), 1) << "round " << round;
    }
}

// Writers keep two counters equal outside their holds; readers must never see them differ.
TEST_F(SessionRWLockTest, ReadersNeverSeeAHalfDoneWrite) {
    int64_t first = 0, second = 0;
    std::atomic<int> torn{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 3000; ++i) {
                const bool upgrade = (i + t) % 7 == 0;
                if ((i + t) % 5 == 0) {
                    _lock->LockWrite();
                    ++first;
                    ++second;
                    _lock->Unlock();
                    continue;
                }
                _lock->LockRead();
                if (upgrade && _lock->TryUpgrade()) {
                    ++first;
                    ++second;
                    _lock->Downgrade();
                }
                _lock->LockRead();
                torn += first != second ? 1 : 0;
                _lock->Unlock();
                _lock->Unlock();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(first, second);
    EXPECT_GE(first, 6 * 600);
}

}  // namespace
}  // namespace Tarvos
