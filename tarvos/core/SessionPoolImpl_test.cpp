#include "tarvos/core/internal/SessionPoolImpl.h"

#include <algorithm>
#include <cstdlib>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Scoreboard.h"
#include "tarvos/core/SessionMixin.h"
#include "tarvos/core/internal/SessionTestSupport.h"

namespace Tarvos {
namespace {

using Testing::CountedSession;
using Testing::EnteredThreadPool;
using Testing::EventLog;
using Testing::Probe;
using Testing::WaitUntil;

constexpr int64_t kMillis = 1000;
constexpr int64_t kHour = 3600LL * 1000 * kMillis;

class SessionPoolTest : public ::testing::Test {
protected:
    // A session with a probe (named like the session) as its object and its auth data.
    Ref<SessionMixin> NewSession(const std::string& id, int64_t expiration = kNever) {
        Ref<SessionMixin> session(new SessionMixin(id));
        _probes.push_back(new Probe(id, &_log));
        session->SetSessionObject("probe", _probes.back());
        session->SetAuthData(_probes.back());
        session->SetExpiration(expiration);
        return session;
    }
    int64_t DueTime() {
        int64_t due = 0;
        return _pool->IsSweepPending(due) ? due : -1;
    }

    EnteredThreadPool _threads;
    EventLog _log;
    std::vector<Ref<Probe>> _probes;
    Ref<SessionPoolImpl> _pool{new SessionPoolImpl(_threads.Get(), nullptr)};
};

TEST_F(SessionPoolTest, RemoveClosesOnceAfterReleasingThePoolLock) {
    _pool->Add(NewSession("a"));
    _pool->Add(NewSession("b"));
    Ref<Session> found;
    ASSERT_TRUE(_pool->Lookup("a", found));
    EXPECT_EQ(found->GetId(), "a");
    EXPECT_FALSE(_pool->Lookup("zzz", found));
    EXPECT_EQ(found->GetId(), "a");  // untouched

    bool unlocked = false;
    _probes[0]->action = [&] {
        unlocked = _pool->IsUnlocked();
        Ref<Session> added;
        if (!_pool->Lookup("added-while-closing", added)) {
            _pool->Add(Ref<Session>(new SessionMixin("added-while-closing")));
        }
    };
    EXPECT_TRUE(_pool->Remove("a"));
    EXPECT_FALSE(_pool->Remove("a"));
    EXPECT_TRUE(unlocked);
    EXPECT_EQ(_probes[0]->Closed(), 2);  // object and auth data, once each
    EXPECT_FALSE(_pool->Lookup("a", found));
    EXPECT_EQ(_pool->GetSize(), 2u);
}

TEST_F(SessionPoolTest, AnotherSessionUnderATakenIdIsRefused) {
    Ref<SessionMixin> first = NewSession("dup", SessionNow() + kHour);
    _pool->Add(first);
    EXPECT_THROW(_pool->Add(NewSession("dup", SessionNow() + 2 * kHour)), AlreadyExistsException);
    Ref<Session> found;
    ASSERT_TRUE(_pool->Lookup("dup", found));
    EXPECT_EQ(found.Get(), static_cast<Session*>(first.Get()));
    EXPECT_EQ(_pool->GetIndexedSize(), 1u);
}

TEST_F(SessionPoolTest, SessionReportsExpirationChangesOnlyWhilePooled) {
    Ref<SessionMixin> session = NewSession("a");
    _pool->Add(session);
    Ref<SessionPool> owner;
    session->GetOwner(owner);
    ASSERT_TRUE(owner);
    EXPECT_NE(owner.Get(), static_cast<SessionPool*>(_pool.Get()));  // no reference cycle
    EXPECT_EQ(_pool->GetIndexedSize(), 0u);
    session->SetExpiration(SessionNow() + kHour);
    EXPECT_EQ(_pool->GetIndexedSize(), 1u);

    ASSERT_TRUE(_pool->Remove("a"));
    Ref<SessionPool> cleared;
    session->GetOwner(cleared);
    EXPECT_FALSE(cleared);
    // What a SetExpiration racing with Remove would do with the owner it read.
    owner->Add(session);
    EXPECT_EQ(_pool->GetSize(), 0u);
}

TEST_F(SessionPoolTest, FindByUserAppendsExactMatches) {
    for (const char* id : {"alice", "bob", "Alice", "alice "}) {
        _pool->Add(NewSession(id));
    }
    Ref<SessionMixin> anonymous(new SessionMixin("anonymous"));
    _pool->Add(anonymous);
    Ref<SessionMixin> second = NewSession("second");
    second->SetAuthData(_probes[0]);  // user "alice"
    _pool->Add(second);

    std::vector<Ref<Session>> found{anonymous};
    _pool->FindByUser("alice", found);
    ASSERT_EQ(found.size(), 3u);
    std::vector<std::string> ids{found[1]->GetId(), found[2]->GetId()};
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<std::string>{"alice", "second"}));
}

TEST_F(SessionPoolTest, OnlyAnEarlierExpirationBringsTheTimerForward) {
    const int64_t base = SessionNow() + kHour;
    Ref<SessionMixin> first = NewSession("first");
    _pool->Add(first);
    EXPECT_EQ(DueTime(), -1);  // never expiring: not indexed, no timer
    first->SetExpiration(base);
    EXPECT_EQ(DueTime(), base);
    _pool->Add(NewSession("later", base + kHour));
    EXPECT_EQ(DueTime(), base);
    first->SetExpiration(base - kHour / 2);
    EXPECT_EQ(DueTime(), base - kHour / 2);
    first->SetExpiration(base + 2 * kHour);
    EXPECT_EQ(DueTime(), base - kHour / 2);
}

TEST_F(SessionPoolTest, SweepClosesEntriesEarlierThanNowInOrderAndSurvivesFailures) {
    const int64_t now = SessionNow() + kHour;  // far enough that no timer interferes
    _pool->Add(NewSession("late", now + 5));
    _pool->Add(NewSession("second", now - 1));
    _pool->Add(NewSession("due-now", now));
    _pool->Add(NewSession("first", now - 3));
    _probes[3]->action = [] { throw std::runtime_error("notification failed"); };

    _pool->SweepAt(now);

    EXPECT_EQ(_log.Events(), (std::vector<std::string>{"first", "first", "second", "second"}));
    Ref<Session> found;
    EXPECT_TRUE(_pool->Lookup("due-now", found));
    EXPECT_EQ(_pool->GetSize(), 2u);
    EXPECT_EQ(_pool->GetIndexedSize(), 2u);
    EXPECT_LE(DueTime(), now);
}

TEST_F(SessionPoolTest, TimerReschedulesForTheEarliestSessionLeft) {
    const int64_t later = SessionNow() + kHour;
    _pool->Add(NewSession("soon", SessionNow() + 5 * kMillis));
    _pool->Add(NewSession("later", later));
    ASSERT_TRUE(WaitUntil([&] { return _probes[0]->Closed() == 2 && DueTime() == later; }));
    EXPECT_EQ(_pool->GetSize(), 1u);
}

TEST_F(SessionPoolTest, EarlierExpirationSetOffThePoolsThreadsStillSweepsInTime) {
    Ref<SessionMixin> first = NewSession("first", SessionNow() + kHour);
    _pool->Add(first);
    _pool->Add(NewSession("second", SessionNow() + 2 * kHour));
    // This thread cannot cancel the pool's timers: the hour-long one is left behind.
    std::thread outsider([&] { first->SetExpiration(SessionNow() + 5 * kMillis); });
    outsider.join();
    ASSERT_TRUE(WaitUntil([&] { return _probes[0]->Closed() == 2; }));
    EXPECT_EQ(_probes[1]->Closed(), 0);
    EXPECT_EQ(_pool->GetSize(), 1u);
}

// The live SessionPoolImpl objects according to the census.
int CensusCountOfPools() {
    std::string dump;
    GetObjectCensus(dump);
    std::istringstream lines(dump);
    const std::string marker = "=> Tarvos::SessionPoolImpl - ";
    int total = 0;
    for (std::string line; std::getline(lines, line);) {
        if (const size_t at = line.find(marker); at != std::string::npos) {
            total += std::atoi(line.c_str() + at + marker.size());
        }
    }
    return total;
}

TEST(SessionPoolLifetimeTest, DroppedPoolWithSessionsIsDestroyedWithThem) {
    EnteredThreadPool threads;
    const int poolsBefore = CensusCountOfPools();
    std::atomic<int> live{0};
    Ref<SessionMixin> kept(new CountedSession("kept", &live));
    {
        Ref<SessionPool> pool;
        GetSessionPool(pool);  // on the calling thread's pool
        EXPECT_EQ(CensusCountOfPools(), poolsBefore + 1);
        for (int i = 0; i < 10; ++i) {
            pool->Add(Ref<Session>(new CountedSession("s" + std::to_string(i), &live)));
        }
        pool->Add(kept);
        kept->SetExpiration(SessionNow() + 20 * kMillis);
    }
    EXPECT_EQ(CensusCountOfPools(), poolsBefore);
    EXPECT_EQ(live.load(), 1);
    Ref<SessionPool> owner;
    kept->GetOwner(owner);
    EXPECT_FALSE(owner);
    // The pending timer fires into the destroyed pool's link and finds nothing to do.
    const int64_t after = SessionNow() + 100 * kMillis;
    ASSERT_TRUE(WaitUntil([&] { return SessionNow() > after; }));
    EXPECT_FALSE(kept->IsClosed());
}

// Threads add 100,000 sessions that expire at random within one to two seconds while they
// also bring expirations forward, remove and look up sessions; every session must be closed
// exactly once and the pool must end empty.
TEST(SessionPoolStressTest, EverySessionIsClosedExactlyOnce) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 25000;
    EnteredThreadPool threads;
    Ref<SessionPool> pool;
    GetSessionPool(threads.Get(), pool);
    std::vector<Ref<Probe>> probes(kThreads * kPerThread);
    const int64_t start = SessionNow();
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            std::mt19937_64 random(1000 + t);
            for (int i = 0; i < kPerThread; ++i) {
                const int n = t * kPerThread + i;
                Ref<SessionMixin> session(new SessionMixin("s" + std::to_string(n)));
                probes[n] = new Probe("p");
                session->SetSessionObject("probe", probes[n]);
                const int64_t expiration = start + (1000 + random() % 1000) * kMillis;
                if (i % 2 == 0) {
                    pool->Add(session);  // expiration reported through the owner
                    session->SetExpiration(expiration);
                } else {
                    session->SetExpiration(expiration);
                    pool->Add(session);
                }
                if (i % 7 == 0) {
                    session->SetExpiration(expiration - (random() % 500) * kMillis);
                }
                if (i % 11 == 0) {
                    pool->Remove("s" + std::to_string(t * kPerThread + random() % (i + 1)));
                }
                Ref<Session> found;
                pool->Lookup(session->GetId(), found);
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    ASSERT_TRUE(WaitUntil([&] {
        return std::all_of(probes.begin(), probes.end(), [](auto& p) { return p->Closed(); });
    }));
    EXPECT_EQ(std::count_if(probes.begin(), probes.end(), [](auto& p) { return p->Closed() > 1; }),
              0);
    auto* impl = dynamic_cast<SessionPoolImpl*>(pool.Get());
    ASSERT_NE(impl, nullptr);
    EXPECT_EQ(impl->GetSize(), 0u);
    EXPECT_EQ(impl->GetIndexedSize(), 0u);
}

}  // namespace
}  // namespace Tarvos
