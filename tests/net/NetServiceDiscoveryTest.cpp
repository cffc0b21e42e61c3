#include <gtest/gtest.h>

#include "net/DnsSdError.h"
#include "net/FakeDnsSd.h"
#include "net/NetServiceDiscovery.h"

using namespace lumetta;
using lumetta::test::FakeDnsSd;

namespace {

struct Recorder final : net::NetServiceDiscoveryDelegate {
    void netServiceDidResolve(const std::string& name, const std::string& address,
                              int64_t port) override {
        log.push_back("resolved " + name + " " + address + " " + std::to_string(port));
    }
    void netServiceDidRemoveService(const std::string& name) override {
        log.push_back("lost " + name);
    }
    void netServiceDidStopSearch(int32_t code) override {
        log.push_back("stopped " + std::to_string(code));
    }
    std::vector<std::string> log;
};

class NetServiceDiscoveryTest : public ::testing::Test {
  protected:
    NetServiceDiscoveryTest() { discovery.delegate = &recorder; }

    /// Finds `name` and answers its resolve and the first address.
    void announce(const std::string& name, const char* address, uint16_t port,
                  uint32_t interfaceIndex = 2) {
        dnssd.found(name, interfaceIndex);
        auto resolve = dnssd.live("resolve", name);
        ASSERT_TRUE(resolve);
        resolve->resolve({0, name + "-host.local", port});
        auto lookup = dnssd.live("address", name + "-host.local");
        ASSERT_TRUE(lookup);
        lookup->address({0, true, FakeDnsSd::ipv4(address)});
    }

    FakeDnsSd dnssd;
    net::NetServiceDiscovery discovery{dnssd};
    Recorder recorder;
};

}  // namespace

TEST_F(NetServiceDiscoveryTest, ASecondSearchIsRefusedUntilTheFirstStops) {
    EXPECT_TRUE(discovery.searchForServicesOfType("_test._tcp"));
    EXPECT_FALSE(discovery.searchForServicesOfType("_other._tcp"));
    ASSERT_TRUE(dnssd.live("browse"));
    EXPECT_EQ(dnssd.live("browse")->type, "_test._tcp");
    EXPECT_EQ(dnssd.live("browse")->domain, "local.");
    EXPECT_EQ(dnssd.liveCount("browse"), 1u);
    discovery.stop();
    EXPECT_EQ(recorder.log, std::vector<std::string>{"stopped 0"});
    EXPECT_EQ(dnssd.liveConnections, 0);
    EXPECT_TRUE(discovery.searchForServicesOfType("_other._tcp"));
}

TEST_F(NetServiceDiscoveryTest, StopWithoutASearchReportsNothing) {
    discovery.stop();
    EXPECT_TRUE(recorder.log.empty());
}

TEST_F(NetServiceDiscoveryTest, AResolvedServiceIsReportedWithItsIPv4AddressAndPort) {
    discovery.searchForServicesOfType("_test._tcp");
    announce("Amp \"1\"", "10.99.0.7", 4242);
    EXPECT_EQ(recorder.log, std::vector<std::string>{"resolved Amp \"1\" 10.99.0.7 4242"});
    auto resolve = dnssd.live("resolve", "Amp \"1\"");
    EXPECT_EQ(resolve->type, "_test._tcp.");
    EXPECT_EQ(resolve->interfaceIndex, 2u);
}

TEST_F(NetServiceDiscoveryTest, EveryAddressIsReportedOnce) {
    discovery.searchForServicesOfType("_test._tcp");
    announce("Amp", "10.99.0.1", 80);
    dnssd.live("address")->address({0, true, FakeDnsSd::ipv4("10.99.0.2")});
    EXPECT_EQ(recorder.log,
              (std::vector<std::string>{"resolved Amp 10.99.0.1 80", "resolved Amp 10.99.0.2 80"}));
}

TEST_F(NetServiceDiscoveryTest, RemovalsAndOtherAddressFamiliesAreNotResolved) {
    discovery.searchForServicesOfType("_test._tcp");
    announce("Amp", "10.99.0.1", 80);
    auto lookup = dnssd.live("address");
    lookup->address({0, false, FakeDnsSd::ipv4("10.99.0.9")});
    lookup->address({0, true, std::vector<uint8_t>(28, 0)});  // an IPv6 socket address
    lookup->address({net::dnssd::Timeout, false, {}});        // only logged
    EXPECT_EQ(recorder.log, std::vector<std::string>{"resolved Amp 10.99.0.1 80"});
}

TEST_F(NetServiceDiscoveryTest, AWithdrawnServiceIsLostOnceAndItsLookupsEnd) {
    discovery.searchForServicesOfType("_test._tcp");
    announce("Amp", "10.99.0.1", 80, 2);
    announce("Amp", "10.99.0.2", 80, 3);
    EXPECT_EQ(discovery.serviceCount(), 2u);
    dnssd.found("Amp", 2, false);
    EXPECT_EQ(recorder.log.size(), 2u) << "the instance on the other interface is still there";
    dnssd.found("Amp", 3, false);
    EXPECT_EQ(recorder.log.back(), "lost Amp");
    EXPECT_EQ(recorder.log.size(), 3u);
    EXPECT_EQ(dnssd.liveCount("resolve"), 0u);
    EXPECT_EQ(dnssd.liveCount("address"), 0u);
    dnssd.found("Ghost", 2, false);
    EXPECT_EQ(recorder.log.size(), 3u) << "a service never found is not reported lost";
}

TEST_F(NetServiceDiscoveryTest, ABrowseErrorEndsTheSearchWithItsCode) {
    discovery.searchForServicesOfType("_test._tcp");
    announce("Amp", "10.99.0.1", 80);
    net::DnsSdBrowseReply failure;
    failure.error = net::dnssd::ServiceNotRunning;
    dnssd.live("browse")->browse(failure);
    EXPECT_EQ(recorder.log.back(), "stopped -65563");
    EXPECT_FALSE(discovery.searching());
    EXPECT_EQ(discovery.serviceCount(), 0u);
    EXPECT_EQ(dnssd.liveConnections, 0);
    EXPECT_TRUE(discovery.searchForServicesOfType("_test._tcp"));
}

TEST_F(NetServiceDiscoveryTest, ABrowseThatCannotStartStopsAtOnce) {
    dnssd.browseError = net::dnssd::BadParam;
    EXPECT_TRUE(discovery.searchForServicesOfType("bad type"));
    EXPECT_EQ(recorder.log, std::vector<std::string>{"stopped -65540"});
    EXPECT_FALSE(discovery.searching());
    EXPECT_EQ(dnssd.liveConnections, 0);
}

TEST_F(NetServiceDiscoveryTest, NoConnectionStopsAtOnce) {
    dnssd.connectError = net::dnssd::ServiceNotRunning;
    EXPECT_TRUE(discovery.searchForServicesOfType("_test._tcp"));
    EXPECT_EQ(recorder.log, std::vector<std::string>{"stopped -65563"});
}

TEST_F(NetServiceDiscoveryTest, AResolveErrorLeavesTheServiceSilent) {
    discovery.searchForServicesOfType("_test._tcp");
    dnssd.found("Amp");
    dnssd.live("resolve")->resolve({net::dnssd::Timeout, "", 0});
    EXPECT_TRUE(recorder.log.empty());
    EXPECT_EQ(dnssd.liveCount("address"), 0u);
}

TEST(Ipv4Text, OnlyIPv4SocketAddressesHaveText) {
    EXPECT_EQ(net::ipv4TextFromSocketAddress(FakeDnsSd::ipv4("192.168.1.200")), "192.168.1.200");
    EXPECT_FALSE(net::ipv4TextFromSocketAddress({}));
    auto wrongFamily = FakeDnsSd::ipv4("1.2.3.4");
    wrongFamily[0] = 0;
    wrongFamily[1] = 0;
    EXPECT_FALSE(net::ipv4TextFromSocketAddress(wrongFamily));
}
