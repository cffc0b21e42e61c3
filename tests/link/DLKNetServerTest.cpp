// The listening side of the stream transport on loopback: raw sockets as clients, the GLib
// main loop turned by the test.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <set>

#include "base/raii/UniqueFd.h"
#include "link/DLKNetServer.h"
#include "link/DevsimProcess.h"

using namespace lumetta::link;
using namespace lumetta::test;
using lumetta::raii::UniqueFd;

namespace {

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
