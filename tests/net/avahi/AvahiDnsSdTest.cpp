// The netservice module against a real avahi-daemon. Runs only inside the private network
// namespace that run-in-netns.sh makes; the test starts and stops the daemon itself.

#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "bridge/NativeCall.h"
#include "modules/netservice/NetserviceModule.h"
#include "net/AvahiDaemon.h"
#include "support/TestServices.h"

using namespace lumetta;
using namespace std::chrono_literals;

namespace {

using namespace test::avahi;

/// Turns the default main context until `done` holds; false after the hang guard.
template <class F>
bool pumpUntil(F done, std::chrono::seconds guard = 30s) {
    return waitUntil(
        done,
        [] {
            g_main_context_iteration(nullptr, FALSE);
            std::this_thread::sleep_for(5ms);
        },
        guard);
}

bool stopDaemon() {
    return test::avahi::stopDaemon([] { g_main_context_iteration(nullptr, FALSE); });
}

class AvahiDnsSdTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!inPrivateNamespace())
            GTEST_SKIP() << "runs only inside the private namespace of tests/net/run-in-netns.sh";
        if (!daemonRunning()) {
            ASSERT_TRUE(startDaemon()) << "avahi-daemon did not start";
        }
        native = std::make_unique<bridge::NativeCall>(
            host.services,
            std::vector<bridge::ModuleDescriptor>{modules::netservice::descriptor()});
        native->setEvent(true);
    }
    void TearDown() override { native.reset(); }

    /// Events as the page received them, decoded from its dispatch calls.
    std::vector<std::string> pageEvents() {
        host.mainThread.runPending();
        auto list = test::dispatchedEvents(host.takeScripts());
        received.insert(received.end(), list.begin(), list.end());
        return received;
    }

    template <class F>
    bool waitForEvents(F done) {
        return pumpUntil([&] { return done(pageEvents()); });
    }

    static std::vector<std::string> fields(const std::string& event) {
        std::vector<std::string> out;
        size_t start = 0;
        for (size_t i = 0; i <= event.size(); ++i)
            if (i == event.size() || event[i] == '\f') {
                out.push_back(event.substr(start, i - start));
                start = i + 1;
            }
        return out;
    }

    /// The resolved records for `name` seen so far.
    std::vector<nlohmann::json> resolvedFor(const std::string& name) {
        std::vector<nlohmann::json> out;
        const std::string prefix = "netservice\fresolved\f";
        for (auto& e : received) {
            if (e.rfind(prefix, 0) != 0) continue;
            auto record = nlohmann::json::parse(e.substr(prefix.size()));
            if (record["name"] == name) out.push_back(record);
        }
        return out;
    }

    test::TestHost host;
    std::unique_ptr<bridge::NativeCall> native;
    std::vector<std::string> received;
};

}  // namespace

TEST_F(AvahiDnsSdTest, AnAnnouncedServiceResolvesPerAddressAndIsLostOnceWhenWithdrawn) {
    const std::string name = "Amp \"Deluxe\" \\ back\fslash é ✓";
    Publication publication(name, "_lumtest._tcp", 4242);
    ASSERT_TRUE(publication.running());
    EXPECT_EQ(native->call("$$netservice_search", "_lumtest._tcp", {}), "b1");

    // The service is seen on veth0, veth1 and lo, each with its own address.
    ASSERT_TRUE(waitForEvents([&](const auto&) {
        std::set<std::string> addresses;
        for (auto& r : resolvedFor(name)) addresses.insert(r["address"].get<std::string>());
        return addresses.count("10.99.0.1") && addresses.count("10.99.0.2");
    })) << "no resolved events for both veth addresses";
    for (auto& record : resolvedFor(name)) {
        EXPECT_EQ(record["port"], 4242);
        EXPECT_EQ(record["name"], name) << "the name reaches the page exactly";
    }

    publication.withdraw();
    const std::string lost = std::string("netservice\flost\f") + name;
    ASSERT_TRUE(waitForEvents([&](const auto& list) {
        return std::count(list.begin(), list.end(), lost) == 1;
    })) << "no lost event";
    // A little longer: the other interfaces' removals must not repeat it.
    pumpUntil([] { return false; }, std::chrono::seconds(3));
    auto list = pageEvents();
    EXPECT_EQ(std::count(list.begin(), list.end(), lost), 1);
    auto lostAt = std::find(list.begin(), list.end(), lost);
    for (auto it = lostAt; it != list.end(); ++it)
        EXPECT_EQ(it->rfind("netservice\fresolved\f", 0), std::string::npos)
            << "resolved after lost";
}

TEST_F(AvahiDnsSdTest, SearchIsRefusedWhileRunningAndStopsWithAnEmptyCode) {
    EXPECT_EQ(native->call("$$netservice_search", "_lumtest._tcp", {}), "b1");
    EXPECT_EQ(native->call("$$netservice_search", "_lumtest._tcp", {}), "b");
    EXPECT_EQ(native->call("$$netservice_stop", {}, {}), "v");
    ASSERT_TRUE(waitForEvents([](const auto& list) { return !list.empty(); }));
    EXPECT_EQ(pageEvents(), std::vector<std::string>{"netservice\fstopped\f"});
    EXPECT_EQ(native->call("$$netservice_stop", {}, {}), "v");
    EXPECT_EQ(native->call("$$netservice_search", "_lumtest._tcp", {}), "b1");
}

TEST_F(AvahiDnsSdTest, AMalformedTypeStopsAtOnceWithANegativeCode) {
    EXPECT_EQ(native->call("$$netservice_search", "not a type", {}), "b1");
    ASSERT_TRUE(waitForEvents([](const auto& list) { return !list.empty(); }));
    auto f = fields(pageEvents().at(0));
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[1], "stopped");
    EXPECT_LT(std::stoi(f[2]), 0);
    EXPECT_EQ(native->call("$$netservice_search", "_lumtest._tcp", {}), "b1");
}

TEST_F(AvahiDnsSdTest, ADaemonThatStopsEndsTheSearchAndASearchAfterItsReturnWorks) {
    Publication before("Before", "_lumtest._tcp", 1111);
    EXPECT_EQ(native->call("$$netservice_search", "_lumtest._tcp", {}), "b1");
    ASSERT_TRUE(waitForEvents([&](const auto&) { return !resolvedFor("Before").empty(); }));

    ASSERT_TRUE(stopDaemon());
    const std::string stopped = "netservice\fstopped\f-65563";
    ASSERT_TRUE(waitForEvents([&](const auto& list) {
        return std::count(list.begin(), list.end(), stopped) == 1;
    })) << "no stopped event with the service-not-running code";

    // While the daemon is away a search fails at once with the same code.
    EXPECT_EQ(native->call("$$netservice_search", "_lumtest._tcp", {}), "b1");
    ASSERT_TRUE(waitForEvents(
        [&](const auto& list) { return std::count(list.begin(), list.end(), stopped) == 2; }));

    ASSERT_TRUE(startDaemon());
    Publication after("After", "_lumtest._tcp", 2222);
    EXPECT_EQ(native->call("$$netservice_search", "_lumtest._tcp", {}), "b1");
    ASSERT_TRUE(waitForEvents([&](const auto&) { return !resolvedFor("After").empty(); }));
    EXPECT_EQ(resolvedFor("After").front()["port"], 2222);
}
