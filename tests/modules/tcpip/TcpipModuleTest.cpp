#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "bridge/NativeCall.h"
#include "bridge/Result.h"
#include "modules/tcpip/TcpipModule.h"
#include "net/LoopbackPeer.h"
#include "support/TestServices.h"

namespace lumetta::modules::tcpip {
namespace {

using namespace std::chrono_literals;

struct Event {
    std::string name;
    std::string number;
    std::string hex;
};

class TcpipModuleTest : public ::testing::Test {
  protected:
    TcpipModuleTest() {
        // What each page's JavaScriptInterface does with "lumetta.postEvent".
        relay = host.center.observe(bridge::note::postEvent, [this](const std::string& event) {
            if (native) native->postEvent(event);
        });
        native = std::make_unique<bridge::NativeCall>(
            host.services, std::vector<bridge::ModuleDescriptor>{descriptor()});
    }
    ~TcpipModuleTest() override {
        // The relay goes first: removing it waits for a reader thread that is posting through
        // it (a peer closed at the end of a test), so none reads `native` while it goes.
        relay.reset();
        native.reset();
    }

    std::string call(const char* name, bridge::Arg a1 = std::nullopt,
                     bridge::Arg a2 = std::nullopt) {
        return native->call(name, a1, a2);
    }

    // Takes events until `done` holds for what was taken; false after the time limit.
    bool collect(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (auto e = native->queue().take()) {
                auto fields = bridge::splitFields(*e, '\f');
                EXPECT_EQ(fields[0], "tcpip");
                events.push_back({std::string(fields[1]), std::string(fields[2]),
                                  fields.size() > 3 ? std::string(fields[3]) : std::string()});
                continue;
            }
            host.mainThread.runPending();
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    int closedEvents(const std::string& number) {
        int count = 0;
        for (auto& e : events) count += e.name == "closed" && e.number == number;
        return count;
    }

    std::string connect(test::LoopbackListener& listener, raii::UniqueFd& peer) {
        std::string result = call("$$tcpip_connect", "127.0.0.1", std::to_string(listener.port()));
        peer = listener.accept();
        return result;
    }

    TcpipModule& module() { return *native->module<TcpipModule>(); }

    test::TestHost host;
    bridge::NotificationCenter::Token relay;
    std::unique_ptr<bridge::NativeCall> native;
    std::vector<Event> events;
};

TEST_F(TcpipModuleTest, ConnectAnswersTheSocketNumber) {
    test::LoopbackListener listener;
    raii::UniqueFd peer;
    std::string result = connect(listener, peer);
    ASSERT_EQ(result[0], 'd');
    int number = std::stoi(result.substr(1));
    EXPECT_GT(number, 2);
    EXPECT_NE(module().connections().find(number), nullptr);
}

TEST_F(TcpipModuleTest, ThreeHundredThousandBytesArriveAsAtLeastThreeReadEvents) {
    test::LoopbackListener listener;
    raii::UniqueFd peer;
    std::string number = connect(listener, peer).substr(1);
    std::vector<uint8_t> data(300000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i % 253);
    std::thread writer([&] { test::writeAll(peer.get(), data.data(), data.size()); });
    std::string hex;
    ASSERT_TRUE(collect([&] {
        hex.clear();
        for (auto& e : events) hex += e.name == "read" ? e.hex : "";
        return hex.size() == data.size() * 2;
    }));
    writer.join();
    EXPECT_EQ(hex, bridge::hexStringFromBytes(data));
    EXPECT_GE(events.size(), 3u);
    for (auto& e : events) {
        EXPECT_EQ(e.number, number);
        EXPECT_LE(e.hex.size(), 262144u);
    }
}

TEST_F(TcpipModuleTest, PeerCloseGivesOneClosedEventAndForgetsTheNumber) {
    test::LoopbackListener listener;
    raii::UniqueFd peer;
    std::string number = connect(listener, peer).substr(1);
    peer.reset();
    ASSERT_TRUE(collect([&] { return closedEvents(number) == 1; }));
    ASSERT_TRUE(collect([&] { return module().connections().size() == 0; }));
    EXPECT_EQ(call("$$tcpip_write", number, "414243"), "v");
    EXPECT_EQ(call("$$tcpip_close", number), "v");
    collect([] { return false; }, 200ms);
    EXPECT_EQ(closedEvents(number), 1);
}

TEST_F(TcpipModuleTest, CloseGivesOneClosedEventAndEndsThePeer) {
    test::LoopbackListener listener;
    raii::UniqueFd peer;
    std::string number = connect(listener, peer).substr(1);
    EXPECT_EQ(call("$$tcpip_close", number), "v");
    ASSERT_TRUE(collect([&] { return closedEvents(number) == 1; }));
    EXPECT_TRUE(test::seesEnd(peer.get()));
    call("$$tcpip_close", number);
    collect([] { return false; }, 200ms);
    EXPECT_EQ(closedEvents(number), 1);
}

TEST_F(TcpipModuleTest, WriteSendsTheDecodedBytes) {
    test::LoopbackListener listener;
    raii::UniqueFd peer;
    std::string number = connect(listener, peer).substr(1);
    EXPECT_EQ(call("$$tcpip_write", number, "48690aZZ7"), "v");
    EXPECT_EQ(test::readSome(peer.get(), 4), std::vector<uint8_t>({'H', 'i', '\n', 0}))
        << "non-hex digits count as 0, an unpaired last digit is dropped";
}

TEST_F(TcpipModuleTest, UnreachableOrUnparsableAddressesGiveMinusOne) {
    uint16_t closedPort;
    {
        test::LoopbackListener gone;
        closedPort = gone.port();
    }
    EXPECT_EQ(call("$$tcpip_connect", "127.0.0.1", std::to_string(closedPort)), "d-1");
    EXPECT_EQ(call("$$tcpip_connect", "localhost", "80"), "d-1");
    EXPECT_EQ(call("$$tcpip_connect", std::nullopt, "80"), "d-1");
    EXPECT_EQ(call("$$tcpip_connect", "999.1.1.1", "80"), "d-1");
    EXPECT_EQ(module().connections().size(), 0u);
    EXPECT_EQ(native->queue().size(), 0u);
}

TEST_F(TcpipModuleTest, ThePortIsTakenModulo65536) {
    std::unique_ptr<test::LoopbackListener> listener;
    try {
        listener = std::make_unique<test::LoopbackListener>(4464);
    } catch (const std::exception&) {
        GTEST_SKIP() << "port 4464 of 127.0.0.1 is in use";
    }
    std::string result = call("$$tcpip_connect", "127.0.0.1", "70000");
    EXPECT_NE(result, "d-1");
    EXPECT_TRUE(listener->accept(5000));
}

TEST_F(TcpipModuleTest, WritesToUnknownNumbersAnswerV) {
    EXPECT_EQ(call("$$tcpip_write", "12345", "00"), "v");
    EXPECT_EQ(call("$$tcpip_write"), "v");
    EXPECT_EQ(call("$$tcpip_close", "abc"), "v");
}

TEST_F(TcpipModuleTest, TeardownClosesEveryConnectionWithoutEvents) {
    test::LoopbackListener listener;
    raii::UniqueFd peerA, peerB;
    connect(listener, peerA);
    connect(listener, peerB);
    size_t before = native->queue().size();
    auto& center = host.center;
    std::atomic<int> late{0};
    auto counter = center.observe(bridge::note::postEvent, [&](const std::string&) { ++late; });
    native.reset();
    EXPECT_EQ(late.load(), 0);
    EXPECT_EQ(before, 0u);
    EXPECT_TRUE(test::seesEnd(peerA.get()));
    EXPECT_TRUE(test::seesEnd(peerB.get()));
}

TEST_F(TcpipModuleTest, AConnectionThatEndedJustBeforeTeardownIsJoinedByIt) {
    test::LoopbackListener listener;
    raii::UniqueFd peer;
    std::string number = connect(listener, peer).substr(1);
    peer.reset();
    // The closed event is out, but the main thread never got to release the client.
    auto end = std::chrono::steady_clock::now() + 20s;
    while (native->queue().size() == 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(native->queue().size(), 1u);
    EXPECT_EQ(module().connections().size(), 0u);
    relay.reset();
    native.reset();  // joins the ended reader; must neither hang nor leave it running
    // A release the reader posted before teardown finds nothing left to do.
    EXPECT_LE(host.mainThread.runPending(), 1u);
}

TEST_F(TcpipModuleTest, AFloodingPeerIsHeldBackWhileThePageIsBehind) {
    test::LoopbackListener listener;
    raii::UniqueFd peer;
    std::string number = connect(listener, peer).substr(1);
    std::atomic<bool> stop{false};
    std::atomic<size_t> flooded{0};
    std::thread flood([&] {
        std::vector<uint8_t> block(1 << 16, 0xAB);
        while (!stop && test::writeAll(peer.get(), block.data(), block.size()))
            flooded += block.size();
    });
    // Nobody takes events: the queue must stop growing near its bound.
    std::this_thread::sleep_for(500ms);
    size_t queued = native->queue().size();
    EXPECT_LE(queued, _TCPIPClientDelegate::kMaxBacklog + 1);
    std::this_thread::sleep_for(200ms);
    EXPECT_LE(native->queue().size(), _TCPIPClientDelegate::kMaxBacklog + 1);
    // Taking events lets the rest through.
    size_t before = flooded.load();
    ASSERT_TRUE(collect([&] { return flooded.load() > before + (8u << 20); }));
    stop = true;
    call("$$tcpip_close", number);
    ASSERT_TRUE(collect([&] { return closedEvents(number) == 1; }));
    flood.join();
}

}  // namespace
}  // namespace lumetta::modules::tcpip
