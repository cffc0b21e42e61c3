// The pooled helper threads: every index once, nesting, concurrent callers, exceptions.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ir/IrThreads.h"

using lumetta::ir::runWorkers;

TEST(IrThreads, EachIndexRunsOnceAndIndexZeroOnTheCaller) {
    for (int round = 0; round < 20; ++round) {
        std::vector<std::atomic<int>> runs(5);
        std::mutex lock;
        std::set<std::thread::id> ids;
        std::thread::id zero;
        runWorkers(5, [&](int k) {
            runs[static_cast<size_t>(k)]++;
            std::lock_guard guard(lock);
            ids.insert(std::this_thread::get_id());
            if (k == 0) zero = std::this_thread::get_id();
        });
        for (auto& r : runs) EXPECT_EQ(r.load(), 1);
        EXPECT_EQ(ids.size(), 5u);
        EXPECT_EQ(zero, std::this_thread::get_id());
    }
}

TEST(IrThreads, ReturnsOnlyWhenEveryWorkerHasFinished) {
    std::atomic<int> finished{0};
    runWorkers(3, [&](int k) {
        if (k != 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        finished++;
    });
    EXPECT_EQ(finished.load(), 3);
}

TEST(IrThreads, NestedAndConcurrentCallsComplete) {
    std::atomic<int> total{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 4; ++c)
        callers.emplace_back([&] {
            for (int i = 0; i < 10; ++i)
                runWorkers(2, [&](int) { runWorkers(3, [&](int) { total++; }); });
        });
    for (auto& t : callers) t.join();
    EXPECT_EQ(total.load(), 4 * 10 * 2 * 3);
}

TEST(IrThreads, AHelpersExceptionReachesTheCallerAfterTheOthersFinish) {
    std::atomic<int> finished{0};
    EXPECT_THROW(runWorkers(3,
                            [&](int k) {
                                if (k == 1) throw std::runtime_error("helper failed");
                                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                                finished++;
                            }),
                 std::runtime_error);
    EXPECT_EQ(finished.load(), 2);
    // The pool still serves calls afterwards.
    std::atomic<int> again{0};
    runWorkers(3, [&](int) { again++; });
    EXPECT_EQ(again.load(), 3);
}

TEST(IrThreads, TheCallersExceptionWaitsForTheHelpers) {
    std::atomic<int> finished{0};
    EXPECT_THROW(runWorkers(2,
                            [&](int k) {
                                if (k == 0) throw std::runtime_error("caller failed");
                                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                                finished++;
                            }),
                 std::runtime_error);
    EXPECT_EQ(finished.load(), 1);
}
