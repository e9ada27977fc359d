#include "tarvos/system/internal/RingQueue.h"

#include <deque>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace Tarvos::System {
namespace {

// Random pushes and pops across growth and wrap-around keep first-in first-out order, checked
// against std::deque.
TEST(RingQueueTest, KeepsOrderAcrossGrowthAndWrapAround) {
    RingQueue<int> queue;
    std::deque<int> model;
    std::mt19937 random(5);
    int next = 0;
    for (int step = 0; step < 200000; ++step) {
        // Phases that mostly push, then mostly pop, so the queue grows past several capacities
        // and drains to empty again.
        const bool filling = (step / 5000) % 2 == 0;
        const bool push = model.empty() || (random() % 10 < (filling ? 7u : 3u));
        if (push) {
            queue.PushBack(int(next));
            model.push_back(next++);
        } else {
            ASSERT_EQ(queue.Front(), model.front());
            ASSERT_EQ(queue.PopFront(), model.front());
            model.pop_front();
        }
        ASSERT_EQ(queue.Size(), model.size());
    }
    std::vector<int> rest;
    queue.ForEach([&](int value) { rest.push_back(value); });
    EXPECT_EQ(rest, std::vector<int>(model.begin(), model.end()));
}

// A popped element is released at once, and a drained queue keeps nothing alive; Swap hands the
// whole content over (the pool drops its queue that way at shutdown).
TEST(RingQueueTest, ReleasesWhatItNoLongerHolds) {
    auto value = std::make_shared<int>(1);
    RingQueue<std::shared_ptr<int>> queue;
    for (int i = 0; i < 5000; ++i) {
        queue.PushBack(std::shared_ptr<int>(value));
    }
    EXPECT_EQ(value.use_count(), 5001);
    for (int i = 0; i < 4999; ++i) {
        queue.PopFront();
    }
    EXPECT_EQ(value.use_count(), 2);
    RingQueue<std::shared_ptr<int>> taken;
    taken.Swap(queue);
    EXPECT_TRUE(queue.Empty());
    EXPECT_EQ(taken.Size(), 1u);
    taken.PopFront();
    EXPECT_TRUE(taken.Empty());
    EXPECT_EQ(value.use_count(), 1);
    // The drained queue is usable again after giving its large storage back.
    taken.PushBack(std::shared_ptr<int>(value));
    EXPECT_EQ(*taken.Front(), 1);
}

}  // namespace
}  // namespace Tarvos::System
