#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "bridge/BridgeText.h"
#include "host/XhrServer.h"

using lumetta::bridge::Arg;
using lumetta::host::XhrServer;

namespace {

int connectTo(unsigned port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    timeval limit{20, 0};  // hang guard only
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

std::string request(const XhrServer& server, const std::string& function) {
    return "GET /" + server.token() + "/call/" + function +
           " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) + "\r\n\r\n";
}

// Sends the request, waits before reading anything, then reads in small bites with pauses, so
// the server finds the connection full many times over.
std::string slowExchange(unsigned port, const std::string& text) {
    int fd = connectTo(port);
    if (fd < 0) return "<no connection>";
    send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string reply;
    char buf[16384];
    ssize_t n;
    size_t sinceRest = 0;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) {
        reply.append(buf, static_cast<size_t>(n));
        sinceRest += static_cast<size_t>(n);
        if (sinceRest >= 2 * 1024 * 1024) {
            sinceRest = 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    close(fd);
    return reply;
}

struct Answer {
    long contentLength = -1;
    std::string body;
};

Answer parse(const std::string& reply) {
    Answer out;
    size_t end = reply.find("\r\n\r\n");
    if (end == std::string::npos) return out;
    std::string header = reply.substr(0, end);
    size_t at = header.find("Content-Length: ");
    if (at != std::string::npos) out.contentLength = std::stol(header.substr(at + 16));
    out.body = reply.substr(end + 4);
    return out;
}

}  // namespace

TEST(XhrServerAnswer, AFiftyMegabyteAnswerReachesASlowReaderWhole) {
    std::string big(50'000'000, 'x');
    for (size_t i = 0; i < big.size(); i += 4099) big[i] = static_cast<char>('a' + i % 26);
    XhrServer server([&](const Arg&, const Arg&, const Arg&) { return big; });
    server.start();
    ASSERT_NE(server.port(), 0u);
    Answer answer = parse(slowExchange(server.port(), request(server, "$$fs_readString")));
    EXPECT_EQ(answer.contentLength, static_cast<long>(big.size()));
    ASSERT_EQ(answer.body.size(), big.size()) << "never a body shorter than its Content-Length";
    EXPECT_TRUE(answer.body == big);
}

TEST(XhrServerAnswer, StoppingWhileAReaderStallsDoesNotWaitForIt) {
    std::string big(20'000'000, 'y');
    XhrServer server([&](const Arg&, const Arg&, const Arg&) { return big; });
    server.start();
    int fd = connectTo(server.port());
    ASSERT_GE(fd, 0);
    std::string text = request(server, "$$fs_readString");
    send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    char first[1];
    ASSERT_EQ(recv(fd, first, 1, 0), 1);  // the answer has begun; now nobody reads
    server.stop();                        // returns although the answer is unfinished
    close(fd);
}

TEST(XhrServerAnswer, AStartAfterAFailedFirstStartListens) {
    XhrServer server([](const Arg&, const Arg&, const Arg&) { return std::string("s/"); });
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    int lowest = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lowest, 0);
    close(lowest);
    // Room for exactly one more descriptor: the wake-up takes it, the listening socket finds
    // none, so the first start has no port.
    rlimit tight = old;
    tight.rlim_cur = static_cast<rlim_t>(lowest) + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    server.start();
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(server.port(), 0u);

    server.start();
    ASSERT_NE(server.port(), 0u);
    Answer answer = parse(slowExchange(server.port(), request(server, "$$fs_separator")));
    EXPECT_EQ(answer.body, "s/");
}

TEST(XhrServerAnswer, ACallThatThrowsClosesItsConnectionAndTheServerGoesOn) {
    int calls = 0;
    XhrServer server([&](const Arg& method, const Arg&, const Arg&) -> std::string {
        if (++calls == 1) throw std::runtime_error("out of memory");
        return method.value_or("");
    });
    server.start();
    Answer first = parse(slowExchange(server.port(), request(server, "$$first")));
    EXPECT_EQ(first.contentLength, -1) << "no answer";
    Answer second = parse(slowExchange(server.port(), request(server, "$$second")));
    EXPECT_EQ(second.body, "$$second");
}
