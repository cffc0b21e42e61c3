// The stream transport on loopback: raw sockets as peers, the GLib main loop turned by the test.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <set>

#include "base/raii/UniqueFd.h"
#include "link/DLKNetClient.h"
#include "link/DLKNetServer.h"
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

UniqueFd connectRaw(uint16_t port, const char* from = nullptr) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (from) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &local.sin_addr);
        ::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return {};
    return fd;
}

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

class ServerEvents : public DLKNetServerDelegate {
  public:
    void streamEventOpenCompleted(DLKNetServer& s) override { opened.push_back(&s); }
    void streamHasBytesAvailable(DLKNetServer& s) override {
        uint8_t b[256];
        ssize_t n = s.read(b, sizeof b);
        if (n > 0) received.insert(received.end(), b, b + n);
    }
    void streamHasSpaceAvailable(DLKNetServer&) override { ++space; }
    void streamErrorOccurred(DLKNetServer&) override { ++errors; }
    void streamEndEncountered(DLKNetServer&) override { ++ends; }
    void serverDidAccept(std::unique_ptr<DLKNetServer> c) override {
        accepted.push_back(std::move(c));
    }
    std::vector<DLKNetServer*> opened;
    std::vector<std::unique_ptr<DLKNetServer>> accepted;
    std::vector<uint8_t> received;
    int space = 0, errors = 0, ends = 0;
};

}  // namespace

TEST(DLKNetServerTest, PortZeroTakesTheSystemsPortAndARestartBindsItAgain) {
    DLKNetServer server(0);
    ASSERT_TRUE(server.startServer());
    const uint16_t port = server.portNo();
    EXPECT_NE(port, 0);
    server.stopServer();
    EXPECT_FALSE(server.listening());
    ASSERT_TRUE(server.startServer());
    EXPECT_EQ(server.portNo(), port);
}

TEST(DLKNetServerTest, MulticlientServerGivesEachConnectionItsOwnObjectAndPeer) {
    DLKNetServer server(0);
    ServerEvents events;
    server.setMulticlient(true);
    server.setDelegate(&events);
    ASSERT_TRUE(server.startServer());
    UniqueFd a = connectRaw(server.portNo(), "127.0.0.1");
    UniqueFd b = connectRaw(server.portNo(), "127.0.0.2");
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(pumpUntil([&] { return events.accepted.size() == 2; }));
    EXPECT_EQ(events.opened.size(), 2u);
    EXPECT_NE(events.accepted[0].get(), events.accepted[1].get());
    std::set<std::string> peers;
    for (auto& c : events.accepted) {
        ASSERT_TRUE(c->clientAddress());
        char text[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, &c->clientAddress()->sin_addr, text, sizeof text);
        peers.insert(text);
    }
    EXPECT_EQ(peers, (std::set<std::string>{"127.0.0.1", "127.0.0.2"}));
    EXPECT_FALSE(server.hasConnection());
}

TEST(DLKNetServerTest, SingleServerRefusesASecondConnectionAndReportsTheEnd) {
    DLKNetServer server(0);
    ServerEvents events;
    server.setDelegate(&events);
    ASSERT_TRUE(server.startServer());
    UniqueFd first = connectRaw(server.portNo());
    ASSERT_TRUE(pumpUntil([&] { return server.hasConnection(); }));
    UniqueFd second = connectRaw(server.portNo());
    // The refused connection is closed by us: a read sees the end.
    uint8_t b;
    EXPECT_TRUE(pumpUntil([&] { return ::recv(second.get(), &b, 1, MSG_DONTWAIT) == 0; }));
    const uint8_t hello[] = {1, 2, 3};
    ::send(first.get(), hello, sizeof hello, 0);
    ASSERT_TRUE(pumpUntil([&] { return events.received.size() == 3; }));
    first.reset();
    ASSERT_TRUE(pumpUntil([&] { return events.ends == 1; }));
    EXPECT_FALSE(server.hasConnection());
    EXPECT_FALSE(server.clientAddress());
    EXPECT_EQ(events.errors, 0);
}

TEST(DLKNetClientTest, ConnectTimeoutReportsOpenFailedOnceAndLeavesNoSocket) {
    // A listener whose queue is full drops further connection attempts: they hang.
    RawListener full(0);
    auto fillers = fillBacklog(full.port);
    DLKNetClient client;
    Events events;
    client.setDelegate(&events);
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

TEST(DLKNetClientTest, KeepAlivesOfFourZeroBytesGoOutEverySecond) {
    RawListener listener;
    DLKNetClient client;
    Events events;
    client.setDelegate(&events);
    client.connectToServer("127.0.0.1", listener.port);
    UniqueFd peer = listener.accept();
    ASSERT_TRUE(pumpUntil([&] { return events.opened == 1; }));
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

TEST(DLKNetClientTest, SilentPeerEndsTheConnectionOnTheFourthTick) {
    RawListener listener;
    DLKNetClient client;
    Events events;
    client.setDelegate(&events);
    client.setTickInterval(200ms);
    client.connectToServer("127.0.0.1", listener.port);
    UniqueFd peer = listener.accept();
    ASSERT_TRUE(pumpUntil([&] { return events.opened == 1; }));
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

TEST(DLKNetClientTest, DataResetsTheReceiveCheck) {
    RawListener listener;
    DLKNetClient client;
    Events events;
    client.setDelegate(&events);
    client.setTickInterval(100ms);
    client.connectToServer("127.0.0.1", listener.port);
    UniqueFd peer = listener.accept();
    ASSERT_TRUE(pumpUntil([&] { return events.opened == 1; }));
    const uint8_t keepAlive[] = {0, 0, 0, 0};
    for (int i = 0; i < 12; ++i) {
        ::send(peer.get(), keepAlive, 4, 0);
        pumpFor(100ms);
    }
    EXPECT_EQ(events.ends, 0);
    EXPECT_EQ(events.received.size(), 48u);
}

TEST(DLKNetClientTest, ZeroKeepAliveTimeoutSendsNothingAndNeverTimesOut) {
    RawListener listener;
    DLKNetClient client;
    Events events;
    client.setDelegate(&events);
    client.setTickInterval(100ms);
    client.setKeepAliveTimeout(0);
    client.connectToServer("127.0.0.1", listener.port);
    UniqueFd peer = listener.accept();
    ASSERT_TRUE(pumpUntil([&] { return events.opened == 1; }));
    pumpFor(900ms);
    EXPECT_EQ(events.ends, 0);
    EXPECT_TRUE(drain(peer.get()).empty());
}

TEST(DLKNetClientTest, PeerCloseIsAnEndAndRefusedConnectIsAnError) {
    RawListener listener;
    DLKNetClient client;
    Events events;
    client.setDelegate(&events);
    client.connectToServer("127.0.0.1", listener.port);
    UniqueFd peer = listener.accept();
    ASSERT_TRUE(pumpUntil([&] { return events.opened == 1; }));
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

TEST(DLKNetClientTest, WritesToASlowReaderArriveWholeAndInOrder) {
    RawListener listener;
    DLKNetClient client;
    Events events;
    client.setDelegate(&events);
    client.setKeepAliveTimeout(0);
    client.connectToServer("127.0.0.1", listener.port);
    UniqueFd peer = listener.accept();
    ASSERT_TRUE(pumpUntil([&] { return events.opened == 1; }));
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

TEST(DLKNetClientTest, HugeConnectTimeoutDoesNotWrapIntoAnEarlyFailure) {
    // 4,294,968 s in milliseconds wraps a 32-bit timer to 704 ms.
    RawListener full(0);
    auto fillers = fillBacklog(full.port);
    DLKNetClient client;
    Events events;
    client.setDelegate(&events);
    client.setConnectTimeout(4294968);
    client.connectToServer("127.0.0.1", full.port);
    pumpFor(1500ms);
    EXPECT_EQ(events.openFailed, 0);
    EXPECT_EQ(client.status(), DLKNetClient::connecting);
}
