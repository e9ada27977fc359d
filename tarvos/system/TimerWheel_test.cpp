#include "tarvos/system/internal/TimerWheel.h"

#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace Tarvos::System {
namespace {

// An entry that can be cancelled, as the pool's timer entries can.
struct FakeEntry {
    int id;
    bool pending = true;
    bool IsPending() const { return pending; }
};
using Entry = std::shared_ptr<FakeEntry>;
using Wheel = TimerWheel<Entry>;

class TimerWheelTest : public ::testing::Test {
protected:
    // 10 us slots, 16 of them: a horizon of 160 us keeps the far heap in play.
    Wheel _wheel{10, 4, 1000};
    uint64_t _sequence = 0;

    Entry Add(int64_t due, int id) {
        auto entry = std::make_shared<FakeEntry>(FakeEntry{id});
        _wheel.Add(Wheel::Item{due, ++_sequence, entry});
        return entry;
    }
    std::vector<int> Collect(int64_t now) {
        std::vector<Wheel::Item> due;
        _wheel.CollectDue(now, due);
        std::vector<int> ids;
        for (const auto& item : due) {
            ids.push_back(item.entry->id);
        }
        return ids;
    }
};

TEST_F(TimerWheelTest, CollectsInDueOrderAndEqualDueTimesInAddOrder) {
    Add(1035, 3);
    Add(1012, 1);
    Add(1035, 4);
    Add(1019, 2);
    Add(1036, 5);
    EXPECT_EQ(Collect(1011), std::vector<int>{});
    EXPECT_EQ(_wheel.NextDue(), 1012);
    // 1035 is due, 1036 in the same slot is not yet.
    EXPECT_EQ(Collect(1035), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(_wheel.NextDue(), 1036);
    EXPECT_EQ(Collect(1036), (std::vector<int>{5}));
    EXPECT_EQ(_wheel.NextDue(), INT64_MAX);
}

TEST_F(TimerWheelTest, FarTimersMoveIntoTheWheelAndKeepTheOrder) {
    Add(1500, 3);  // beyond the 160 us horizon: in the heap
    Add(1100, 1);
    Add(1500, 4);
    Add(1300, 2);
    EXPECT_EQ(_wheel.NextDue(), 1100);
    EXPECT_EQ(Collect(1100), (std::vector<int>{1}));
    EXPECT_EQ(_wheel.NextDue(), 1300);
    EXPECT_EQ(Collect(1400), (std::vector<int>{2}));
    EXPECT_EQ(_wheel.NextDue(), 1500);
    Add(1499, 5);
    EXPECT_EQ(Collect(1500), (std::vector<int>{5, 3, 4}));
}

TEST_F(TimerWheelTest, ALongIdleStretchCollectsEverythingDueAtOnce) {
    Add(1005, 1);
    Add(1150, 2);
    Add(5000, 3);
    Add(9000, 4);
    EXPECT_EQ(Collect(8000), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(_wheel.NextDue(), 9000);
    // A timer already overdue when added is due at the next collection.
    Add(7000, 5);
    EXPECT_EQ(Collect(8001), (std::vector<int>{5}));
    EXPECT_EQ(Collect(9000), (std::vector<int>{4}));
}

TEST_F(TimerWheelTest, RandomScheduleComesOutSortedWithNothingLostOrRepeated) {
    Wheel wheel(100, 6, 0);
    std::mt19937 random(3);
    std::vector<std::pair<int64_t, uint64_t>> expected;
    uint64_t sequence = 0;
    int64_t now = 0;
    std::vector<Wheel::Item> collected;
    for (int round = 0; round < 200; ++round) {
        for (int i = 0; i < 50; ++i) {
            const int64_t due = now + static_cast<int64_t>(random() % 20000);
            wheel.Add(Wheel::Item{due, ++sequence, std::make_shared<FakeEntry>(FakeEntry{0})});
            expected.emplace_back(due, sequence);
        }
        now += static_cast<int64_t>(random() % 700);
        wheel.CollectDue(now, collected);
    }
    wheel.CollectDue(INT64_MAX / 2, collected);
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(collected.size(), expected.size());
    // Each collection is sorted, and collections follow time: the whole run is sorted.
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(collected[i].due, expected[i].first);
        EXPECT_EQ(collected[i].sequence, expected[i].second);
    }
}

TEST_F(TimerWheelTest, SweepDropsCancelledFarTimersOnly) {
    std::vector<Entry> entries;
    for (int i = 0; i < 3000; ++i) {
        entries.push_back(Add(100000 + i, i));  // all far
        if (i % 3 != 0) {
            entries.back()->pending = false;
        }
    }
    int drained = 0;
    int live = 0;
    _wheel.Drain([&](Wheel::Item& item) {
        ++drained;
        live += item.entry->pending ? 1 : 0;
    });
    EXPECT_EQ(live, 1000);
    EXPECT_LT(drained, 3000);  // the heap was swept as it grew
    EXPECT_EQ(_wheel.NextDue(), INT64_MAX);
}

}  // namespace
}  // namespace Tarvos::System
