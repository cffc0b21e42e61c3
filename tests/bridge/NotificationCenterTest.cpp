#include <gtest/gtest.h>

#include <thread>

#include "bridge/NotificationCenter.h"

using namespace lumetta::bridge;

TEST(NotificationCenter, DeliversByNameUntilTokenIsGone) {
    NotificationCenter center;
    int a = 0, b = 0;
    auto ta = center.observe("a", [&](const Notification&) { ++a; });
    {
        auto tb = center.observe("b", [&](const Notification&) { ++b; });
        center.post("a", 1);
        center.post("b", 1);
    }
    center.post("b", 1);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 1);
}

TEST(NotificationCenter, RemovingAnObserverWaitsForItsRunningCall) {
    NotificationCenter center;
    std::atomic<bool> inside{false}, finished{false};
    auto token = std::make_unique<NotificationCenter::Token>(
        center.observe("slow", [&](const Notification&) {
            inside = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            finished = true;
        }));
    std::thread poster([&] { center.post("slow", 0); });
    while (!inside) std::this_thread::yield();
    token.reset();
    EXPECT_TRUE(finished) << "the observer's owner may be freed right after the token";
    poster.join();
}

TEST(NotificationCenter, ObserverMayRemoveItselfWhileRunning) {
    NotificationCenter center;
    NotificationCenter::Token token;
    int calls = 0;
    token = center.observe("x", [&](const Notification&) {
        ++calls;
        token.reset();
    });
    center.post("x", 0);
    center.post("x", 0);
    EXPECT_EQ(calls, 1);
}
