// The connecting side of the stream transport on loopback: raw sockets as peers, the GLib main
// loop turned by the test.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

#include "base/raii/UniqueFd.h"
#include "link/DLKNetClient.h"
#include "link/DevsimProcess.h"

using namespace lumetta::link;
using namespace lumetta::test;
using lumetta::raii::UniqueFd;

namespace {

// A plain listening socket on 127.0.0.1 for the client to reach.
struct RawListener {
    explicit RawListener(int backlog = 4) {
        fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd.get(), backlog);
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    UniqueFd accept() { return UniqueFd(::accept4(fd.get(), nullptr, nullptr, SOCK_CLOEXEC)); }
    UniqueFd fd;
    uint16_t port = 0;
};

// Fills a listener's queue (backlog 0) so that later connection attempts hang unanswered.
std::vector<UniqueFd> fillBacklog(uint16_t port) {
    std::vector<UniqueFd> fillers;
    for (int i = 0; i < 4; ++i) {
        UniqueFd f(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(f.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(std::move(f));
    }
    pumpFor(std::chrono::milliseconds(200));
    return fillers;
}

// Reads what is there without waiting.
std::vector<uint8_t> drain(int fd) {
    std::vector<uint8_t> got;
    uint8_t buffer[65536];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
        got.insert(got.end(), buffer, buffer + n);
    return got;
}

class Events : public DLKNetClientDelegate {
  public:
    void streamOpenCompleted() override { ++opened; }
    void streamOpenFailed() override { ++openFailed; }
    void streamErrorOccurred() override { ++errors; }
    void streamEndEncountered() override { ++ends; }
    void streamHasBytesAvailable(const uint8_t* b, size_t n) override {
        received.insert(received.end(), b, b + n);
    }
    int opened = 0, openFailed = 0, errors = 0, ends = 0;
    std::vector<uint8_t> received;
};

// A client with its delegate; `connectToPeer` opens it to a raw peer the test holds.
class DLKNetClientTest : public ::testing::Test {
  protected:
    void SetUp() override { client.setDelegate(&events); }
    void connectToPeer() {
        client.connectToServer("127.0.0.1", listener.port);
        peer = listener.accept();
        ASSERT_TRUE(pumpUntil([&] { return events.opened == 1; }));
    }
    Events events;
    RawListener listener;
    DLKNetClient client;
    UniqueFd peer;
};

}  // namespace

TEST_F(DLKNetClientTest, ConnectTimeoutReportsOpenFailedOnceAndLeavesNoSocket) {
    // A listener whose queue is full drops further connection attempts: they hang.
    RawListener full(0);
    auto fillers = fillBacklog(full.port);
    client.setConnectTimeout(1);
    client.connectToServer("127.0.0.1", full.port);
    EXPECT_EQ(client.status(), DLKNetClient::connecting);
    ASSERT_TRUE(pumpUntil([&] { return events.openFailed + events.opened + events.errors > 0; }));
    pumpFor(300ms);
    EXPECT_EQ(events.openFailed, 1);
    EXPECT_EQ(events.opened, 0);
    EXPECT_EQ(events.errors, 0);
    EXPECT_EQ(client.status(), DLKNetClient::closed);
    const uint8_t b = 0;
    EXPECT_EQ(client.write(&b, 1), 0);
}

TEST_F(DLKNetClientTest, KeepAlivesOfFourZeroBytesGoOutEverySecond) {
    connectToPeer();
    // Keep the receive check quiet while we listen.
    std::vector<uint8_t> got;
    const uint8_t nothing[] = {9, 0, 0, 0};
    pumpUntil(
        [&] {
            auto more = drain(peer.get());
            if (!more.empty()) ::send(peer.get(), nothing, 4, 0);
            got.insert(got.end(), more.begin(), more.end());
            return got.size() >= 12;
        },
        8s);
    ASSERT_GE(got.size(), 12u);
    EXPECT_EQ(got.size() % 4, 0u);
    EXPECT_TRUE(std::all_of(got.begin(), got.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(events.ends + events.errors, 0);
}

TEST_F(DLKNetClientTest, SilentPeerEndsTheConnectionOnTheFourthTick) {
    client.setTickInterval(200ms);
    connectToPeer();
    // Timers never fire early: after three and a half ticks the connection still stands.
    pumpFor(700ms);
    EXPECT_EQ(events.ends, 0);
    EXPECT_EQ(client.status(), DLKNetClient::connected);
    ASSERT_TRUE(pumpUntil([&] { return events.ends == 1; }));
    EXPECT_EQ(events.errors, 0);
    EXPECT_EQ(client.status(), DLKNetClient::closed);
    EXPECT_TRUE(pumpUntil([&] {
        uint8_t b[64];
        return ::recv(peer.get(), b, sizeof b, MSG_DONTWAIT) == 0;
    })) << "the socket is closed";
}

TEST_F(DLKNetClientTest, DataResetsTheReceiveCheck) {
    client.setTickInterval(100ms);
    connectToPeer();
    const uint8_t keepAlive[] = {0, 0, 0, 0};
    for (int i = 0; i < 12; ++i) {
        ::send(peer.get(), keepAlive, 4, 0);
        pumpFor(100ms);
    }
    EXPECT_EQ(events.ends, 0);
    EXPECT_EQ(events.received.size(), 48u);
}

TEST_F(DLKNetClientTest, ZeroKeepAliveTimeoutSendsNothingAndNeverTimesOut) {
    client.setTickInterval(100ms);
    client.setKeepAliveTimeout(0);
    connectToPeer();
    pumpFor(900ms);
    EXPECT_EQ(events.ends, 0);
    EXPECT_TRUE(drain(peer.get()).empty());
}

TEST_F(DLKNetClientTest, PeerCloseIsAnEndAndRefusedConnectIsAnError) {
    connectToPeer();
    peer.reset();
    ASSERT_TRUE(pumpUntil([&] { return events.ends == 1; }));

    const uint16_t closedPort = listener.port;
    listener.fd.reset();
    client.connectToServer("127.0.0.1", closedPort);
    ASSERT_TRUE(pumpUntil([&] { return events.errors == 1; }));
    client.connectToServer("not-an-address", 80);
    EXPECT_EQ(events.errors, 1) << "a bad address is reported from the main loop, not the call";
    ASSERT_TRUE(pumpUntil([&] { return events.errors == 2; }));
    EXPECT_EQ(events.openFailed, 0);
}

TEST_F(DLKNetClientTest, WritesToASlowReaderArriveWholeAndInOrder) {
    client.setKeepAliveTimeout(0);
    connectToPeer();
    // Far more than the socket buffers hold: most of it waits in the backlog.
    std::vector<uint8_t> sent;
    std::vector<uint8_t> block(64 * 1024);
    int refused = 0;
    for (int i = 0; i < 512; ++i) {  // 32 MiB: more than any loopback socket buffers
        for (size_t j = 0; j < block.size(); ++j) block[j] = uint8_t(i * 31 + j * 7);
        if (client.write(block.data(), block.size()) == int64_t(block.size()))
            sent.insert(sent.end(), block.begin(), block.end());
        else
            ++refused;
    }
    EXPECT_GT(client.backlog(), 0u) << "the peer has read nothing yet";
    EXPECT_LE(client.backlog(), DLKNetClient::kMaxBacklog);
    std::vector<uint8_t> got;
    ASSERT_TRUE(pumpUntil([&] {
        auto more = drain(peer.get());
        got.insert(got.end(), more.begin(), more.end());
        return got.size() >= sent.size();
    }));
    EXPECT_TRUE(got == sent) << "bytes lost, doubled or reordered; refused blocks: " << refused;
    EXPECT_EQ(client.backlog(), 0u);
}

TEST_F(DLKNetClientTest, HugeConnectTimeoutDoesNotWrapIntoAnEarlyFailure) {
    // 4,294,968 s in milliseconds wraps a 32-bit timer to 704 ms.
    RawListener full(0);
    auto fillers = fillBacklog(full.port);
    client.setConnectTimeout(4294968);
    client.connectToServer("127.0.0.1", full.port);
    pumpFor(1500ms);
    EXPECT_EQ(events.openFailed, 0);
    EXPECT_EQ(client.status(), DLKNetClient::connecting);
}
