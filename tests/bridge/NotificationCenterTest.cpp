#include <gtest/gtest.h>

#include <thread>

#include "bridge/NotificationCenter.h"

using namespace lumetta::bridge;

namespace {
constexpr Notification<int> a{"a"};
constexpr Notification<int> b{"b"};
constexpr Notification<int> slow{"slow"};
constexpr Notification<int> x{"x"};
}  // namespace

TEST(NotificationCenter, DeliversByNameUntilTokenIsGone) {
    NotificationCenter center;
    int seenA = 0, seenB = 0;
    auto ta = center.observe(a, [&](int) { ++seenA; });
    {
        auto tb = center.observe(b, [&](int) { ++seenB; });
        center.post(a, 1);
        center.post(b, 1);
    }
    center.post(b, 1);
    EXPECT_EQ(seenA, 1);
    EXPECT_EQ(seenB, 1);
}

TEST(NotificationCenter, ObserverGetsThePostedObjectAndItsAddressee) {
    NotificationCenter center;
    constexpr Notification<std::vector<std::string>> files{"files"};
    // Any distinct address stands for a page; the centre never follows it.
    int page = 0;
    auto* addressee = reinterpret_cast<NativeCall*>(&page);
    std::vector<std::string> seen;
    NativeCall* seenAddressee = nullptr;
    int withoutAddressee = 0;
    auto full = center.observe(files, [&](const std::vector<std::string>& paths, NativeCall* to) {
        seen = paths;
        seenAddressee = to;
    });
    auto plain =
        center.observe(files, [&](const std::vector<std::string>&) { ++withoutAddressee; });
    center.post(files, {"/a", "/b"}, addressee);
    EXPECT_EQ(seen, (std::vector<std::string>{"/a", "/b"}));
    EXPECT_EQ(seenAddressee, addressee);
    EXPECT_EQ(withoutAddressee, 1);
    center.post(files, {});
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(seenAddressee, nullptr) << "no addressee: for every page";
}

TEST(NotificationCenter, ObjectOfAnotherTypeUnderTheSameNameIsNeverDelivered) {
    // Two declarations that disagree about one name must not let an observer read one type's
    // object as the other's.
    NotificationCenter center;
    constexpr Notification<std::string> asText{"shared"};
    constexpr Notification<int> asNumber{"shared"};
    std::vector<std::string> texts;
    std::vector<int> numbers;
    auto t1 = center.observe(asText, [&](const std::string& text) { texts.push_back(text); });
    auto t2 = center.observe(asNumber, [&](int number) { numbers.push_back(number); });
    center.post(asText, "hello");
    center.post(asNumber, 7);
    EXPECT_EQ(texts, (std::vector<std::string>{"hello"}));
    EXPECT_EQ(numbers, (std::vector<int>{7}));
}

// Posting or observing with an object of another type than the name's does not compile.
template <class T, class Object>
concept Postable = requires(NotificationCenter& center, const Notification<T>& note,
                            const Object& object) {
    center.post(note, object);
};
template <class T, class Observer>
concept Observable = requires(NotificationCenter& center, const Notification<T>& note,
                              Observer observer) {
    center.observe(note, observer);
};
static_assert(Postable<std::string, std::string>);
static_assert(Postable<std::string, const char*>);
static_assert(!Postable<std::string, std::vector<std::string>>);
static_assert(!Postable<std::vector<std::string>, std::string>);
static_assert(!Postable<Arg, int>);
static_assert(Observable<std::string, void (*)(const std::string&)>);
static_assert(Observable<std::string, void (*)(const std::string&, NativeCall*)>);
static_assert(!Observable<std::string, void (*)(const std::vector<std::string>&)>);
static_assert(!Observable<std::vector<std::string>, void (*)(const std::string&)>);
static_assert(!Observable<std::string, void (*)(const std::string&, int)>);

TEST(NotificationCenter, RemovingAnObserverWaitsForItsRunningCall) {
    NotificationCenter center;
    std::atomic<bool> inside{false}, finished{false};
    auto token = std::make_unique<NotificationCenter::Token>(center.observe(slow, [&](int) {
        inside = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        finished = true;
    }));
    std::thread poster([&] { center.post(slow, 0); });
    while (!inside) std::this_thread::yield();
    token.reset();
    EXPECT_TRUE(finished) << "the observer's owner may be freed right after the token";
    poster.join();
}

TEST(NotificationCenter, ObserverMayRemoveItselfWhileRunning) {
    NotificationCenter center;
    NotificationCenter::Token token;
    int calls = 0;
    token = center.observe(x, [&](int) {
        ++calls;
        token.reset();
    });
    center.post(x, 0);
    center.post(x, 0);
    EXPECT_EQ(calls, 1);
}
