#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "bridge/BridgeText.h"
#include "host/XhrServer.h"

using lumetta::bridge::Arg;
using lumetta::host::parseXhrRequest;
using lumetta::host::XhrServer;

namespace {

sockaddr_in loopback(unsigned port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

int connectTo(unsigned port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    // Only against hanging: the server's own limits are seconds below it.
    timeval limit{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

// Reads until the server closes; `closed` tells whether it did (rather than the read giving up).
std::string readAll(int fd, bool* closed = nullptr) {
    std::string reply;
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
    if (closed) *closed = n == 0 || errno == ECONNRESET;
    return reply;
}

// Sends the request in the given pieces and reads the whole answer.
std::string exchange(unsigned port, std::vector<std::string> pieces, bool* closed = nullptr) {
    int fd = connectTo(port);
    if (fd < 0) return "<no connection>";
    for (auto& p : pieces) {
        send(fd, p.data(), p.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::string reply = readAll(fd, closed);
    close(fd);
    return reply;
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

class XhrServerTest : public ::testing::Test {
  protected:
    XhrServerTest()
        : server([this](const Arg& m, const Arg& a1, const Arg& a2) {
              ++calls;
              last = {m, a1, a2};
              if (m == "$$fs_separator") return std::string("s/");
              return std::string("v");
          }) {}
    std::string get(const std::string& target, const std::string& host = "") {
        std::string h = host.empty() ? "127.0.0.1:" + std::to_string(server.port()) : host;
        return exchange(server.port(), {"GET " + target + " HTTP/1.1\r\nHost: " + h + "\r\n\r\n"});
    }
    // "/" + the token + `rest`, built by appending: inlined at -O3, GCC 12 takes "/" + token
    // for an overlapping copy (a false -Wrestrict, GCC bug 105329).
    std::string withToken(const std::string& rest) {
        std::string target(1, '/');
        target += server.token();
        target += rest;
        return target;
    }
    std::atomic<int> calls{0};
    struct {
        Arg method, arg1, arg2;
    } last;
    XhrServer server;
};

}  // namespace

TEST(XhrRequest, CallsNeedTheTokenTheHostAndAPlainMethod) {
    auto ok = parseXhrRequest(
        "GET /tok/call/$$fs_stat?%2Ftmp%2Ca,b%2C,c HTTP/1.1\r\nHost: 127.0.0.1:8000\r\n\r\n", "tok",
        8000);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 0);
    EXPECT_EQ(ok->method, "$$fs_stat");
    EXPECT_EQ(ok->arg1, "%2Ftmp%2Ca") << "split only at the literal comma, still encoded";
    EXPECT_EQ(ok->arg2, "b%2C");
    auto noQuery = parseXhrRequest("POST /tok/$$x HTTP/1.0\nhost: LOCALHOST:8000\n\n", "tok", 8000);
    ASSERT_TRUE(noQuery);
    EXPECT_EQ(noQuery->status, 0);
    EXPECT_FALSE(noQuery->arg1);
    EXPECT_FALSE(noQuery->arg2);

    for (const char* refused : {
             "GET /$$fs_stat?x HTTP/1.1\r\nHost: 127.0.0.1:8000\r\n\r\n",       // no token
             "GET /tok2/$$fs_stat HTTP/1.1\r\nHost: 127.0.0.1:8000\r\n\r\n",    // wrong token
             "GET /to/$$fs_stat HTTP/1.1\r\nHost: 127.0.0.1:8000\r\n\r\n",      // a prefix of it
             "GET /x/tok/$$fs_stat HTTP/1.1\r\nHost: 127.0.0.1:8000\r\n\r\n",   // not at the start
             "GET /tok/$$fs_stat HTTP/1.1\r\n\r\n",                             // no Host
             "GET /tok/$$fs_stat HTTP/1.1\r\nHost: evil.example:8000\r\n\r\n",  // a rebound name
             "GET /tok/$$fs_stat HTTP/1.1\r\nHost: 127.0.0.1:8001\r\n\r\n",     // another port
             "GET /tok/$$fs_stat HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
             "GET /tok/$$fs_stat HTTP/1.1\r\nHost: 127.0.0.1:8000\r\nHost: x\r\n\r\n",
             "PUT /tok/$$fs_stat HTTP/1.1\r\nHost: 127.0.0.1:8000\r\n\r\n",
             "OPTIONS /tok/$$fs_stat HTTP/1.1\r\nHost: 127.0.0.1:8000\r\n\r\n",
         }) {
        auto r = parseXhrRequest(refused, "tok", 8000);
        ASSERT_TRUE(r) << refused;
        EXPECT_EQ(r->status, 403) << refused;
        EXPECT_FALSE(r->method) << refused;
    }
    EXPECT_FALSE(parseXhrRequest("\x16\x03\x01 garbage\r\n\r\n", "tok", 8000));
    EXPECT_FALSE(parseXhrRequest("GET\r\n\r\n", "tok", 8000));
    EXPECT_FALSE(parseXhrRequest("GET / HTTP/1.1\r\nno colon here\r\n\r\n", "tok", 8000));
    EXPECT_EQ(parseXhrRequest("GET /tok/x HTTP/1.1\r\nHost: 127.0.0.1:1\r\n\r\n", "", 1)->status,
              403);
}

TEST(XhrStep, WaitsForTheBlankLineThenDecidesOnTheHeaderAlone) {
    using lumetta::host::XhrStep;
    using lumetta::host::xhrStep;
    const std::string head = "GET /tok/$$f?a,b HTTP/1.1\r\nHost: 127.0.0.1:80\r\n";
    EXPECT_EQ(xhrStep(head, "tok", 80, 1024).kind, XhrStep::Wait);
    auto call = xhrStep(head + "\r\nbody, never waited for", "tok", 80, 1024);
    EXPECT_EQ(call.kind, XhrStep::Call);
    EXPECT_EQ(call.request.method, "$$f");
    EXPECT_EQ(call.request.arg2, "b");
    EXPECT_EQ(xhrStep(head + "\r\n", "other", 80, 1024).kind, XhrStep::Refuse);
    EXPECT_EQ(xhrStep("\x16\x03\n\n", "tok", 80, 1024).kind, XhrStep::Close);
    // Over the limit: closed, whether the blank line came or not.
    EXPECT_EQ(xhrStep(std::string(1025, 'a'), "tok", 80, 1024).kind, XhrStep::Close);
    EXPECT_EQ(xhrStep(head + std::string(1024, ' ') + "\r\n\r\n", "tok", 80, 1024).kind,
              XhrStep::Close);
}

TEST_F(XhrServerTest, AnswersOverRealSocketsWithTheFourFields) {
    EXPECT_FALSE(server.start());
    ASSERT_NE(server.port(), 0u);
    EXPECT_GE(server.token().size(), 32u) << "at least 128 random bits";
    std::string reply = get(withToken("/$$fs_separator"));
    EXPECT_EQ(reply.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_NE(reply.find("Content-Type: text/plain\r\n"), std::string::npos);
    EXPECT_NE(reply.find("Access-Control-Allow-Origin: *\r\n"), std::string::npos);
    EXPECT_NE(reply.find("Connection: close\r\n"), std::string::npos);
    EXPECT_NE(reply.find("Content-Length: 2\r\n"), std::string::npos);
    EXPECT_EQ(reply.substr(reply.size() - 6), "\r\n\r\ns/");
    std::string unknown = get(withToken("/call/$$nothing?a,b"));
    EXPECT_EQ(unknown.substr(unknown.size() - 1), "v");
    EXPECT_EQ(last.arg1, "a");
    EXPECT_EQ(calls, 2);
}

TEST_F(XhrServerTest, RefusalsRunNothing) {
    server.start();
    std::string port = std::to_string(server.port());
    EXPECT_EQ(get("/$$fs_unlink?%2Fhome").substr(0, 12), "HTTP/1.1 403");
    EXPECT_EQ(get("/" + std::string(32, '0') + "/$$fs_unlink?%2Fhome").substr(0, 12),
              "HTTP/1.1 403");
    EXPECT_EQ(get(withToken("/$$fs_unlink"), "attacker.test:" + port).substr(0, 12),
              "HTTP/1.1 403");
    EXPECT_EQ(
        exchange(server.port(), {"OPTIONS /" + server.token() +
                                 "/$$sh_exec HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n\r\n"})
            .substr(0, 12),
        "HTTP/1.1 403");
    EXPECT_EQ(exchange(server.port(), {"\x16\x03\x01\x02 not http\r\n\r\n"}), "")
        << "closed without an answer";
    EXPECT_EQ(exchange(server.port(), {std::string(XhrServer::kMaxHeader + 10, 'A')}), "")
        << "oversized header";
    EXPECT_EQ(calls, 0);
}

TEST_F(XhrServerTest, AHeaderThatNeverCompletesIsClosed) {
    server.start();
    bool closed = false;
    EXPECT_EQ(exchange(server.port(), {"GET /" + server.token() + "/$$fs_separator HTTP/1.1\r\n"},
                       &closed),
              "");
    EXPECT_TRUE(closed) << "the server kept the connection open";
    EXPECT_EQ(calls, 0);
}

TEST_F(XhrServerTest, HeaderInPiecesIsDispatchedOnceAfterTheBlankLine) {
    server.start();
    std::string host = "Host: 127.0.0.1:" + std::to_string(server.port());
    std::string reply = exchange(server.port(), {"GET /" + server.token(), "/$$fs_separator?x",
                                                 " HTTP/1.1\r\n", host + "\r\n", "\r\n"});
    EXPECT_EQ(reply.substr(reply.size() - 2), "s/");
    EXPECT_EQ(calls, 1);
}

TEST_F(XhrServerTest, ASecondConnectionIsServedWhileAStalledOneWaits) {
    server.start();
    int stalled = connectTo(server.port());
    send(stalled, "GET /", 5, MSG_NOSIGNAL);
    std::string reply = get(withToken("/$$fs_separator"));
    EXPECT_EQ(reply.substr(reply.size() - 2), "s/");
    close(stalled);
}

TEST_F(XhrServerTest, ARequestStartedBeforeABurstOfConnectionsIsStillAnswered) {
    server.start();
    std::string host = "Host: 127.0.0.1:" + std::to_string(server.port());
    // The request's first half arrives, then connections that never send a byte pile up.
    int request = connectTo(server.port());
    std::string first = "GET /" + server.token() + "/$$fs_separator HTTP/1.1\r\n";
    send(request, first.data(), first.size(), MSG_NOSIGNAL);
    std::vector<int> burst;
    for (size_t i = 0; i + 1 < XhrServer::kMaxConnections; ++i)
        burst.push_back(connectTo(server.port()));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::string rest = host + "\r\n\r\n";
    send(request, rest.data(), rest.size(), MSG_NOSIGNAL);
    std::string reply = readAll(request);
    close(request);
    for (int fd : burst) close(fd);
    ASSERT_GE(reply.size(), 2u);
    EXPECT_EQ(reply.substr(reply.size() - 2), "s/");
    EXPECT_EQ(calls, 1);
}

TEST_F(XhrServerTest, BeyondTheLimitTheOldestUnfinishedConnectionIsClosed) {
    server.start();
    int oldest = connectTo(server.port());
    std::vector<int> newer;
    for (size_t i = 0; i < XhrServer::kMaxConnections; ++i)
        newer.push_back(connectTo(server.port()));
    char byte;
    // Closed without an answer (well before the header time-out), the newer ones stay open.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(recv(oldest, &byte, 1, 0), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0,
              std::chrono::milliseconds(XhrServer::kHeaderTimeoutMs));
    close(oldest);
    std::string reply = get("/" + server.token() + "/$$fs_separator");
    EXPECT_EQ(reply.substr(reply.size() - 2), "s/");
    for (int fd : newer) close(fd);
}

TEST_F(XhrServerTest, RestartKeepsAFreePortAndMovesFromATakenOne) {
    server.start();
    unsigned first = server.port();
    std::string firstToken = server.token();
    EXPECT_FALSE(server.start()) << "still listening: nothing changes";
    EXPECT_EQ(server.port(), first);
    EXPECT_EQ(server.token(), firstToken);

    server.stop();
    EXPECT_EQ(connectTo(first), -1) << "stopped means closed";
    EXPECT_FALSE(server.start()) << "the old port was free again";
    EXPECT_EQ(server.port(), first);
    EXPECT_NE(server.token(), firstToken) << "a fresh secret at every start";

    server.stop();
    int squatter = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = loopback(first);
    ASSERT_EQ(bind(squatter, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_TRUE(server.start()) << "moved to another port";
    EXPECT_NE(server.port(), first);
    close(squatter);
    std::string reply = get(withToken("/$$fs_separator"));
    EXPECT_EQ(reply.substr(reply.size() - 2), "s/");
}

TEST(XhrServer, AFiftyMegabyteAnswerReachesASlowReaderWhole) {
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

TEST(XhrServer, StoppingWhileAReaderStallsDoesNotWaitForIt) {
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

TEST(XhrServer, AStartAfterAFailedFirstStartListens) {
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

TEST(XhrServer, ACallThatThrowsClosesItsConnectionAndTheServerGoesOn) {
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
