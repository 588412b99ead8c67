// The work-stealing deque: order seen by one thread, and one owner pushing and
// popping against several thieves, every item taken exactly once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <numeric>
#include <thread>
#include <vector>

#include "parallel/work_stealing_deque.h"

namespace {

using caustiqa::parallel::StealResult;
using Deque = caustiqa::parallel::WorkStealingDeque<int*>;

TEST(WorkStealingDeque, OwnerTakesNewestThievesOldestAcrossGrowth) {
    Deque deque;
    int dummy = 0;
    EXPECT_EQ(deque.pop(), nullptr);
    int* out = &dummy;
    EXPECT_EQ(deque.steal(out), StealResult::empty);
    EXPECT_EQ(out, &dummy);
    EXPECT_TRUE(deque.looks_empty());

    // 1000 items force several doublings of the initial 64 slots; steals
    // wrap the indices around, so the copy on growth must keep them in order.
    std::vector<int> items(1000);
    std::iota(items.begin(), items.end(), 0);
    int next_oldest = 0;
    int next_newest = 0;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 500; ++i)
            deque.push(&items[next_newest++]);
        for (int i = 0; i < 100; ++i) {
            ASSERT_EQ(deque.steal(out), StealResult::success);
            ASSERT_EQ(*out, next_oldest++);
        }
    }
    EXPECT_FALSE(deque.looks_empty());
    for (int expected = next_newest - 1; expected >= next_oldest; --expected) {
        int* item = deque.pop();
        ASSERT_NE(item, nullptr);
        ASSERT_EQ(*item, expected);
    }
    EXPECT_EQ(deque.pop(), nullptr);
    EXPECT_EQ(deque.steal(out), StealResult::empty);
    EXPECT_TRUE(deque.looks_empty());
}

struct Contest {
    int thieves;
    int items;
    int burst; // pushes before the owner pops burst / 2 items
};

class OwnerAgainstThieves : public testing::TestWithParam<Contest> {};

// The owner pushes all items in bursts, popping half of each burst, then
// drains the rest; the thieves steal until the owner is done. Every item must
// be gathered exactly once.
TEST_P(OwnerAgainstThieves, EveryItemIsTakenExactlyOnce) {
    const Contest contest = GetParam();
    std::vector<int> items(static_cast<std::size_t>(contest.items));
    std::iota(items.begin(), items.end(), 0);
    Deque deque;
    std::atomic<bool> owner_done{false};
    std::atomic<int> ready{0};
    std::vector<std::vector<int>> gathered(static_cast<std::size_t>(contest.thieves) + 1);

    std::vector<std::thread> thieves;
    for (int k = 1; k <= contest.thieves; ++k) {
        thieves.emplace_back([&, k] {
            std::vector<int>& mine = gathered[static_cast<std::size_t>(k)];
            ready.fetch_add(1);
            while (!owner_done.load(std::memory_order_acquire)) {
                int* item = nullptr;
                switch (deque.steal(item)) {
                case StealResult::success:
                    mine.push_back(*item);
                    break;
                case StealResult::retry:
                    break;
                case StealResult::empty:
                    std::this_thread::yield();
                    break;
                }
            }
        });
    }
    while (ready.load() < contest.thieves)
        std::this_thread::yield();

    std::vector<int>& own = gathered[0];
    for (int pushed = 0; pushed < contest.items;) {
        const int end = std::min(contest.items, pushed + contest.burst);
        for (; pushed < end; ++pushed)
            deque.push(&items[static_cast<std::size_t>(pushed)]);
        for (int i = 0; i < contest.burst / 2; ++i) {
            if (int* item = deque.pop()) own.push_back(*item);
        }
    }
    // Only the owner pushes, so null means empty (or the last item lost to a thief).
    while (int* item = deque.pop())
        own.push_back(*item);
    owner_done.store(true, std::memory_order_release);
    for (std::thread& thief : thieves)
        thief.join();

    EXPECT_TRUE(deque.looks_empty());
    std::vector<int> all;
    for (const std::vector<int>& part : gathered)
        all.insert(all.end(), part.begin(), part.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, items);
}

std::vector<Contest> contests() {
    std::vector<Contest> table;
    for (const int thieves : {1, 2, 4, 7}) {
        for (const int items : {0, 1, 2, 63, 64, 65, 1000, 20000}) {
            for (const int burst : {1, 3, 200})
                table.push_back({thieves, items, burst});
        }
    }
    return table;
}

INSTANTIATE_TEST_SUITE_P(Sizes, OwnerAgainstThieves, testing::ValuesIn(contests()),
                         [](const testing::TestParamInfo<Contest>& info) {
                             return std::to_string(info.param.thieves) + "thieves_" +
                                    std::to_string(info.param.items) + "items_burst" +
                                    std::to_string(info.param.burst);
                         });

} // namespace
