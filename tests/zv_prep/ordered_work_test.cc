// The worker pool's hand-off: every item is finished once, in item order, by
// one thread at a time, with never more than the window claimed and unfinished.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "ordered_work.h"

namespace {

struct Slot {
    size_t item = 0;
    bool filled = false;
};

void check_pool(size_t count, size_t window, int threads) {
    zvprep::OrderedWork<Slot> work(count, window);
    std::atomic<size_t> open{0}, most_open{0};
    std::atomic<int> finishing{0};
    std::vector<size_t> finished;
    const auto serve = [&](int seed) {
        std::mt19937 rng(static_cast<unsigned>(seed));
        work.serve(
            [&](size_t item, Slot& slot) {
                const size_t now = ++open;
                for (size_t seen = most_open; now > seen && !most_open.compare_exchange_weak(seen, now);) {
                }
                EXPECT_FALSE(slot.filled) << "item " << item << " got a slot still in use";
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 300));
                slot = {item, true};
            },
            [&](size_t item, Slot& slot) {
                EXPECT_EQ(++finishing, 1) << "two threads finishing at once";
                EXPECT_TRUE(slot.filled);
                EXPECT_EQ(slot.item, item);
                finished.push_back(item);
                slot.filled = false;
                --open;
                --finishing;
            });
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t) pool.emplace_back(serve, t);
    serve(0);
    for (std::thread& t : pool) t.join();
    ASSERT_EQ(finished.size(), count);
    for (size_t i = 0; i < count; ++i) ASSERT_EQ(finished[i], i);
    EXPECT_LE(most_open.load(), window);
}

TEST(OrderedWork, FinishesEveryItemOnceInOrderWithinTheWindow) {
    for (int threads : {1, 2, 3, 8})
        for (size_t window : {1, 2, 6})
            for (size_t count : {0, 1, 5, 200}) {
                SCOPED_TRACE(testing::Message() << threads << " threads, window " << window << ", " << count);
                check_pool(count, window, threads);
            }
}

}  // namespace
