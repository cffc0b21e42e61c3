#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "modules/netservice/NetserviceModule.h"
#include "net/DnsSdError.h"
#include "net/FakeDnsSd.h"
#include "support/TestServices.h"

using namespace lumetta;
using namespace lumetta::bridge;
using lumetta::test::FakeDnsSd;
using lumetta::test::TestHost;

namespace {

class NetserviceModuleTest : public ::testing::Test {
  protected:
    std::vector<std::string> events() {
        std::vector<std::string> out;
        while (auto e = native.queue().take()) out.push_back(*e);
        return out;
    }
    FakeDnsSd* dnssd = nullptr;
    TestHost host;
    NativeCall native{host.services, {modules::netservice::descriptor([this] {
                          auto client = std::make_unique<FakeDnsSd>();
                          dnssd = client.get();
                          return client;
                      })}};
};

}  // namespace

TEST_F(NetserviceModuleTest, SearchTwiceThenStopThenSearchAgain) {
    EXPECT_EQ(native.call("$$netservice_search", "_amp._tcp", {}), "b1");
    EXPECT_EQ(native.call("$$netservice_search", "_amp._tcp", {}), "b");
    EXPECT_EQ(native.call("$$netservice_stop", {}, {}), "v");
    EXPECT_EQ(events(), std::vector<std::string>{"netservice\fstopped\f"});
    EXPECT_EQ(native.call("$$netservice_search", "_amp._tcp", {}), "b1");
}

TEST_F(NetserviceModuleTest, StopWithoutSearchPostsNothing) {
    EXPECT_EQ(native.call("$$netservice_stop", {}, {}), "v");
    EXPECT_TRUE(events().empty());
}

TEST_F(NetserviceModuleTest, ResolvedEventCarriesTheNameExactly) {
    const std::string name = "Q\"uote\\back\fform é";
    native.call("$$netservice_search", "_amp._tcp", {});
    dnssd->found(name);
    dnssd->live("resolve")->resolve({0, "amp.local", 5004});
    dnssd->live("address")->address({0, true, FakeDnsSd::ipv4("10.99.0.1")});
    dnssd->found(name, 2, false);
    auto list = events();
    ASSERT_EQ(list.size(), 2u);
    const std::string prefix = "netservice\fresolved\f";
    ASSERT_EQ(list[0].rfind(prefix, 0), 0u);
    auto record = nlohmann::json::parse(list[0].substr(prefix.size()));
    EXPECT_EQ(record["name"], name);
    EXPECT_EQ(record["address"], "10.99.0.1");
    EXPECT_EQ(record["port"], 5004);
    EXPECT_EQ(list[1], "netservice\flost\f" + name);
}

TEST_F(NetserviceModuleTest, FailedStartEndsWithANegativeCode) {
    // The client double fails the browse from the start.
    native.call("$$netservice_search", "_amp._tcp", {});
    native.call("$$netservice_stop", {}, {});
    events();
    dnssd->browseError = net::dnssd::BadParam;
    EXPECT_EQ(native.call("$$netservice_search", "not a type", {}), "b1");
    EXPECT_EQ(events(), std::vector<std::string>{"netservice\fstopped\f-65540"});
    EXPECT_EQ(native.call("$$netservice_search", "_amp._tcp", {}), "b1");
}

TEST_F(NetserviceModuleTest, ACallFromAnotherThreadIsAnsweredAtOnceAndRunOnTheMainThread) {
    std::string first, second;
    std::thread other([&] {
        first = native.call("$$netservice_search", "_amp._tcp", {});
        second = native.call("$$netservice_search", "_amp._tcp", {});
    });
    other.join();
    EXPECT_EQ(first, "b1");
    EXPECT_EQ(second, "b");
    EXPECT_EQ(dnssd, nullptr) << "nothing may touch the client off the main thread";
    host.mainThread.runPending();
    ASSERT_NE(dnssd, nullptr);
    EXPECT_TRUE(dnssd->live("browse"));
    std::thread([&] { native.call("$$netservice_stop", {}, {}); }).join();
    EXPECT_TRUE(events().empty());
    host.mainThread.runPending();
    EXPECT_EQ(events(), std::vector<std::string>{"netservice\fstopped\f"});
}

TEST(NetserviceEvents, Formats) {
    EXPECT_EQ(modules::netservice::stoppedEvent(0), "netservice\fstopped\f");
    EXPECT_EQ(modules::netservice::stoppedEvent(-65540), "netservice\fstopped\f-65540");
    EXPECT_EQ(modules::netservice::lostEvent("a\\b"), "netservice\flost\fa\\b");
    auto resolved = modules::netservice::resolvedEvent("n", "1.2.3.4", 80);
    EXPECT_NE(resolved.find('\n'), std::string::npos) << "pretty-printed JSON";
}
