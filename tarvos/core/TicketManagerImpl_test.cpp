#include "tarvos/core/internal/TicketManagerImpl.h"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tarvos/core/Exception.h"
#include "tarvos/core/Session.h"
#include "tarvos/core/TicketMixin.h"
#include "tarvos/core/internal/SessionTestSupport.h"

namespace Tarvos {
namespace {

using Testing::EnteredThreadPool;
using Testing::WaitUntil;

constexpr int64_t kMillis = 1000;
constexpr int64_t kHour = 3600LL * 1000 * kMillis;

class TicketManagerTest : public ::testing::Test {
protected:
    Ref<TicketMixin> AddTicket(const std::string& user, int32_t uses, int64_t expiration) {
        Ref<TicketMixin> ticket(new TicketMixin(user, uses, expiration));
        _manager->Add(ticket);
        return ticket;
    }

    EnteredThreadPool _threads;
    Ref<TicketManagerImpl> _manager{new TicketManagerImpl()};
};

TEST_F(TicketManagerTest, TicketWithTwoUsesIsHandedOutTwice) {
    Ref<TicketMixin> ticket = AddTicket("frank", 2, SessionNow() + kHour);
    Ref<Ticket> got;
    _manager->Get(ticket->GetTicketId(), got);
    _manager->Get(ticket->GetTicketId(), got);
    EXPECT_EQ(got.Get(), static_cast<Ticket*>(ticket.Get()));
    EXPECT_THROW(_manager->Get(ticket->GetTicketId(), got), TicketExpiredException);
    EXPECT_FALSE(got);                   // cleared before the lookup
    EXPECT_EQ(_manager->GetSize(), 1u);  // spent tickets stay until swept or removed
    _manager->Get("unknown", got);
    EXPECT_FALSE(got);
}

TEST_F(TicketManagerTest, ValidateWithTheWrongUserFailsButSpendsAUse) {
    Ref<TicketMixin> ticket = AddTicket("grace", 3, SessionNow() + kHour);
    EXPECT_FALSE(_manager->Validate("mallory", ticket->GetTicketId()));
    EXPECT_EQ(ticket->GetRemainingUses(), 2);
    EXPECT_TRUE(_manager->Validate("grace", ticket->GetTicketId()));
    Ref<Ticket> presented(new TicketMixin("grace", ticket->GetTicketId(), 9, SessionNow() + kHour));
    EXPECT_TRUE(_manager->Validate(presented));
    EXPECT_THROW(_manager->Validate(presented), TicketExpiredException);
    EXPECT_FALSE(_manager->Validate("grace", "unknown-id"));
}

TEST_F(TicketManagerTest, DuplicateIdsUnknownRemovalsAndNullsAreRefused) {
    Ref<Ticket> ticket(new TicketMixin("ivan", "fixed-id", 1, SessionNow() + kHour));
    _manager->Add(ticket);
    EXPECT_THROW(_manager->Add(Ref<Ticket>(new TicketMixin("judy", "fixed-id", 1, 0))),
                 AlreadyExistsException);
    EXPECT_THROW(_manager->Add(nullptr), InvalidArgumentException);
    EXPECT_THROW(_manager->Remove(nullptr), InvalidArgumentException);
    _manager->Remove(ticket);
    EXPECT_THROW(_manager->Remove(ticket), NotFoundException);
    _manager->Add(ticket);  // the id is free again
}

TEST_F(TicketManagerTest, ConcurrentGetsHandOutExactlyTheRemainingUses) {
    Ref<TicketMixin> ticket = AddTicket("u", 500, SessionNow() + kHour);
    std::atomic<int> granted{0};
    std::vector<std::thread> takers;
    for (int t = 0; t < 4; ++t) {
        takers.emplace_back([&] {
            _threads.Get()->EnterThread();  // the ticket's own lock waits on library threads
            for (int i = 0; i < 200; ++i) {
                try {
                    Ref<Ticket> got;
                    _manager->Get(ticket->GetTicketId(), got);
                    granted.fetch_add(1);
                } catch (const TicketExpiredException&) {
                }
            }
            _threads.Get()->LeaveThread();
        });
    }
    for (auto& taker : takers) {
        taker.join();
    }
    EXPECT_EQ(granted.load(), 500);
}

TEST_F(TicketManagerTest, SweepRemovesTicketsPastTheirTimeAndKeepsSpentOnes) {
    Ref<TicketMixin> soon = AddTicket("u", 5, SessionNow() + 3 * kMillis);
    Ref<TicketMixin> spent = AddTicket("u", 1, SessionNow() + kHour);
    Ref<Ticket> got;
    _manager->Get(spent->GetTicketId(), got);
    ASSERT_TRUE(WaitUntil([&] { return _manager->GetSize() == 1; }));
    _manager->Get(soon->GetTicketId(), got);
    EXPECT_FALSE(got);
    EXPECT_THROW(_manager->Get(spent->GetTicketId(), got), TicketExpiredException);
    EXPECT_TRUE(_manager->IsSweepPending());  // rescheduled for the ticket left
}

TEST(TicketManagerPoolTest, ManagerSweepsOnTheThreadPoolItIsGivenOrFinds) {
    Ref<TicketManagerImpl> manager(new TicketManagerImpl());
    Ref<TicketMixin> expired(new TicketMixin("u", 3, SessionNow() - kHour));
    std::thread outsider([&] { manager->Add(expired); });  // no pool to sweep on
    outsider.join();
    EXPECT_FALSE(manager->IsSweepPending());
    Ref<Ticket> got;
    EXPECT_THROW(manager->Get(expired->GetTicketId(), got), TicketExpiredException);
    {
        EnteredThreadPool first;
        manager->SetThreadPool(first.Get());
        ASSERT_TRUE(WaitUntil([&] { return manager->GetSize() == 0; }));
        manager->Add(Ref<Ticket>(new TicketMixin("u", 1, SessionNow() + kHour)));
    }
    // The first pool shut down with a timer pending: the next adding thread's pool takes over.
    EnteredThreadPool second;
    manager->Add(Ref<Ticket>(new TicketMixin("u", 1, SessionNow() + 2 * kMillis)));
    ASSERT_TRUE(WaitUntil([&] { return manager->GetSize() == 1; }));
}

TEST(TicketManagerGlobalTest, ProcessWideManagerIsOneInstance) {
    Ref<TicketManager> first, second;
    GetTicketManager(first);
    GetTicketManager(second);
    ASSERT_TRUE(first);
    EXPECT_EQ(first.Get(), second.Get());
    Ref<Ticket> ticket(new TicketMixin("global", 1, SessionNow() + kHour));
    first->Add(ticket);
    EXPECT_TRUE(second->Validate(ticket));
    second->Remove(ticket);
}

}  // namespace
}  // namespace Tarvos
