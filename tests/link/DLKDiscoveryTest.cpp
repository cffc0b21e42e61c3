// Discovery end to end. Broadcasts go only to loopback addresses through an injected interface
// list, or inside a private network namespace this test makes (veth pair 10.99.0.1/10.99.0.2).

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "base/raii/UniqueFd.h"
#include "bridge/NativeCall.h"
#include "link/DLKDescription.h"
#include "link/DLKDiscovery.h"
#include "link/DevsimProcess.h"
#include "modules/dlk/DlkModule.h"
#include "support/TestServices.h"
#include "support/VethNamespace.h"

using namespace lumetta::link;
using namespace lumetta::test;

namespace {

class Found : public DLKDiscoveryDelegate {
  public:
    void discoveryDeviceDidFound(const nlohmann::json& d) override { devices.push_back(d); }
    std::vector<nlohmann::json> devices;
};

uint16_t freeUdpPort() {
    lumetta::raii::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// One pretend interface on 127.0.0.1/8, so the directed broadcast 127.255.255.255 stays on
// loopback, and the loopback interface itself, which must get nothing.
std::optional<std::vector<DLKInterface>> loopbackOnly() {
    const uint32_t home = INADDR_LOOPBACK;
    return std::vector<DLKInterface>{{"lo", home, 0xFF000000u, true},
                                     {"test0", home, 0xFF000000u, false}};
}

class DLKDiscoveryLoopbackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        discovery.setDelegate(&found);
        discovery.setAnnouncePort(port);
    }
    std::vector<std::string> simArgs(std::vector<std::string> extra) {
        std::vector<std::string> args = {"--discovery-port", std::to_string(port), "--model", "ABC",
                                         "--number",         "0x0012ABCD"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    uint16_t port = freeUdpPort();
    Found found;
    DLKDiscovery discovery{loopbackOnly};
};

}  // namespace

TEST_F(DLKDiscoveryLoopbackTest, SearchAnnouncesItsPortAndFindsTheDeviceOncePerSearch) {
    DevsimProcess sim(simArgs({"--reply-count", "2"}));
    ASSERT_TRUE(sim.started());
    EXPECT_EQ(discovery.portNo(), 0) << "nothing listens before the first search";
    ASSERT_TRUE(discovery.search());
    EXPECT_EQ(discovery.lastDestinations(), std::vector<uint32_t>{0x7FFFFFFFu})
        << "one datagram to the directed broadcast; none to the loopback interface";
    auto announce = sim.waitFor("announce ");
    ASSERT_TRUE(announce);
    EXPECT_EQ(*announce, "announce 127.0.0.1 " + std::to_string(discovery.portNo()));
    ASSERT_TRUE(pumpUntil([&] { return !found.devices.empty(); }));
    ASSERT_TRUE(sim.waitFor("replied"));
    pumpFor(300ms);
    ASSERT_EQ(found.devices.size(), 1u) << "two answers of one device are one find";
    const auto& d = found.devices[0];
    EXPECT_EQ(d["DLKDeviceAddressKey"], "127.0.0.1");
    EXPECT_EQ(d["DLKDevicePortNoKey"], sim.dictionary()["DLKDevicePortNoKey"]);
    EXPECT_EQ(d["DLKDeviceUIDKey"], "ABC-0012ABCD");
    EXPECT_EQ(d, sim.dictionary());

    const uint16_t listening = discovery.portNo();
    ASSERT_TRUE(discovery.search());
    EXPECT_EQ(discovery.portNo(), listening) << "later searches listen on the same port";
    ASSERT_TRUE(pumpUntil([&] { return found.devices.size() == 2; }))
        << "a new search reports the device again";
    pumpFor(300ms);
    EXPECT_EQ(found.devices.size(), 2u);
}

TEST_F(DLKDiscoveryLoopbackTest, ShortRepliesAndZeroCapabilitiesAreDroppedSilently) {
    DevsimProcess shortReply(simArgs({"--reply-bytes", "83"}));
    ASSERT_TRUE(discovery.search());
    ASSERT_TRUE(shortReply.waitFor("replied"));
    pumpFor(300ms);
    EXPECT_TRUE(found.devices.empty());
    shortReply.terminate();

    DevsimProcess noCaps(simArgs({"--caps", "0"}));
    ASSERT_TRUE(discovery.search());
    ASSERT_TRUE(noCaps.waitFor("replied"));
    pumpFor(300ms);
    EXPECT_TRUE(found.devices.empty());
}

TEST_F(DLKDiscoveryLoopbackTest, ModulePostsFoundEventsWithTheDictionaryAsJson) {
    TestHost host;
    lumetta::bridge::ModuleDescriptor d{
        "dlk", 55, [&](lumetta::bridge::ModuleContext& ctx) {
            auto m = std::make_unique<lumetta::modules::dlk::DlkModule>(ctx, loopbackOnly);
            m->discovery().setAnnouncePort(port);
            return m;
        }};
    lumetta::bridge::NativeCall native(host.services, {d});
    DevsimProcess sim(simArgs({"--reply-count", "3"}));
    EXPECT_EQ(native.call("$$dlk_discovery", std::nullopt, std::nullopt), "v");
    std::vector<std::string> events;
    ASSERT_TRUE(pumpUntil([&] {
        while (auto e = native.queue().take()) events.push_back(*e);
        return !events.empty();
    }));
    pumpFor(300ms);
    while (auto e = native.queue().take()) events.push_back(*e);
    ASSERT_EQ(events.size(), 1u);
    auto fields = lumetta::bridge::splitFields(events[0], '\f');
    ASSERT_EQ(fields.size(), 3u);
    EXPECT_EQ(fields[0], "dlk");
    EXPECT_EQ(fields[1], "found");
    EXPECT_EQ(nlohmann::json::parse(fields[2]), sim.dictionary());
}

// Runs the namespace half of this file inside a private network namespace with a veth pair.
TEST(DLKDiscoveryNamespaceTest, HostBroadcastsInAPrivateNetworkAndTheSimulatorAnswers) {
    if (std::getenv("LUMETTA_LINK_NETNS")) GTEST_SKIP() << "already inside the namespace";
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a network namespace";
    const bool haveIp = ::access("/usr/sbin/ip", X_OK) == 0 || ::access("/sbin/ip", X_OK) == 0;
    if (::access("/usr/bin/unshare", X_OK) != 0 || !haveIp)
        GTEST_SKIP() << "needs unshare and ip (util-linux, iproute2)";
    const auto run = lumetta::test::rerunInVethNamespace("DLKInNamespace.*");
    if (run.notPermitted)
        GTEST_SKIP() << "network namespaces are not permitted here: " << run.output;
    EXPECT_TRUE(run.succeeded) << run.output;
    EXPECT_NE(run.output.find("[  PASSED  ] 2 tests"), std::string::npos) << run.output;
}

// Only inside the namespace: real interfaces from getifaddrs (lo, veth0, veth1).
class DLKInNamespace : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("LUMETTA_LINK_NETNS"))
            GTEST_SKIP() << "runs only inside the namespace that the test above makes";
    }
};

TEST_F(DLKInNamespace, DiscoveryFindsTheSimulatorAtItsOwnAddressOncePerSearch) {
    DevsimProcess sim({"--bind", "10.99.0.2", "--model", "ABC", "--number", "0x0012ABCD"});
    ASSERT_TRUE(sim.started());
    Found found;
    DLKDiscovery discovery;
    discovery.setDelegate(&found);
    ASSERT_TRUE(discovery.search());
    // veth0 and veth1 each get the directed broadcast; loopback gets nothing.
    const uint32_t broadcast = (10u << 24) | (99u << 16) | 255u;
    EXPECT_EQ(discovery.lastDestinations(), (std::vector<uint32_t>{broadcast, broadcast}));
    ASSERT_TRUE(pumpUntil([&] { return !found.devices.empty(); }));
    pumpFor(500ms);
    ASSERT_EQ(found.devices.size(), 1u) << "the device heard two announcements";
    EXPECT_EQ(found.devices[0]["DLKDeviceAddressKey"], "10.99.0.2");
    EXPECT_EQ(found.devices[0]["DLKDeviceUIDKey"], "ABC-0012ABCD");
    EXPECT_EQ(sim.waitFor("announce "), "announce 10.99.0.1 " + std::to_string(discovery.portNo()));

    ASSERT_TRUE(discovery.search());
    ASSERT_TRUE(pumpUntil([&] { return found.devices.size() == 2; }));
    pumpFor(500ms);
    EXPECT_EQ(found.devices.size(), 2u);
}

TEST_F(DLKInNamespace, ConnectingToTheFoundDeviceCarriesMidi) {
    DevsimProcess sim({"--bind", "10.99.0.2"});
    TestHost host;
    lumetta::bridge::NativeCall native(host.services, {lumetta::modules::dlk::descriptor()});
    auto nextEvent = [&]() -> std::string {
        std::string e;
        pumpUntil([&] {
            if (auto got = native.queue().take()) e = *got;
            return !e.empty();
        });
        return e;
    };
    ASSERT_EQ(native.call("$$dlk_discovery", std::nullopt, std::nullopt), "v");
    auto found = nextEvent();
    auto fields = lumetta::bridge::splitFields(found, '\f');
    ASSERT_EQ(fields.size(), 3u) << found;
    ASSERT_EQ(fields[1], "found");
    ASSERT_EQ(native.call("$$dlk_connect", std::string(fields[2]), std::nullopt), "v");
    auto connected = nextEvent();
    EXPECT_EQ(connected, "dlk\fconnected\f" + std::string(fields[2]));
    ASSERT_EQ(native.call("$$dlk_send", std::string("903C64"), std::nullopt), "v");
    auto message = nextEvent();
    EXPECT_EQ(message.rfind("dlk\fmessage\f903C64\f", 0), 0u) << message;
}
