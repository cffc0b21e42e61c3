#include "host/XhrServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "base/AsciiText.h"
#include "bridge/Result.h"

namespace lumetta::host {

namespace {

using base::asciiLower;

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool isTokenChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("!#$%&'*+-.^_`|~", c);
}

// Where the header ends (the index past the blank line), or npos.
size_t headerEnd(std::string_view data) {
    size_t crlf = data.find("\r\n\r\n");
    size_t lf = data.find("\n\n");
    if (crlf == std::string_view::npos && lf == std::string_view::npos)
        return std::string_view::npos;
    if (lf == std::string_view::npos || (crlf != std::string_view::npos && crlf < lf))
        return crlf + 4;
    return lf + 2;
}

std::string newToken() {
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n > 0) got += static_cast<size_t>(n);
    }
    return bridge::hexStringFromBytes(bytes, sizeof bytes);
}

sockaddr_in loopback(unsigned port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

raii::UniqueFd listenOn(unsigned port) {
    raii::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) return fd;
    int one = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = loopback(port);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd.get(), 16) != 0)
        return raii::UniqueFd();
    return fd;
}

unsigned boundPort(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

bool somethingListensOn(unsigned port) {
    raii::UniqueFd probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe) return false;
    sockaddr_in addr = loopback(port);
    return connect(probe.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

// Writes all of `data` to the non-blocking socket, waiting for it to take more whenever it is
// full. Gives up (false) when the peer goes away, when the socket takes nothing for
// `stallMs`, or when `wake` is signalled; the caller then closes the connection, so the peer
// sees a connection cut short rather than a body shorter than its Content-Length.
bool sendAll(int fd, std::string_view data, int wake, int stallMs) {
    while (!data.empty()) {
        ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n > 0) {
            data.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
        pollfd fds[2] = {{fd, POLLOUT, 0}, {wake, POLLIN, 0}};
        int ready = poll(fds, 2, stallMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || fds[1].revents) return false;
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
    }
    return true;
}

}  // namespace

std::optional<XhrRequest> parseXhrRequest(std::string_view header, std::string_view token,
                                          unsigned port) {
    size_t lineEnd = header.find('\n');
    if (lineEnd == std::string_view::npos) return std::nullopt;
    std::string_view requestLine = trim(header.substr(0, lineEnd));
    size_t sp1 = requestLine.find(' ');
    size_t sp2 = requestLine.rfind(' ');
    if (sp1 == std::string_view::npos || sp2 == sp1) return std::nullopt;
    std::string_view method = requestLine.substr(0, sp1);
    std::string_view target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string_view version = requestLine.substr(sp2 + 1);
    if (method.empty() || !std::all_of(method.begin(), method.end(), isTokenChar))
        return std::nullopt;
    if (version.substr(0, 5) != "HTTP/" || target.empty() ||
        target.find(' ') != std::string_view::npos)
        return std::nullopt;

    std::optional<std::string> host;
    bridge::Arg origin;
    std::string_view rest = header.substr(lineEnd + 1);
    while (!rest.empty()) {
        size_t end = rest.find('\n');
        std::string_view line = trim(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.empty()) break;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) return std::nullopt;
        std::string name = asciiLower(line.substr(0, colon));
        if (!std::all_of(name.begin(), name.end(), isTokenChar)) return std::nullopt;
        if (name == "host") {
            if (host) return XhrRequest{403, {}, {}, {}};  // two Host fields: refuse
            host = asciiLower(trim(line.substr(colon + 1)));
        } else if (name == "origin") {
            if (origin) return XhrRequest{403, {}, {}, {}};  // two Origin fields: refuse
            origin = std::string(trim(line.substr(colon + 1)));
        }
    }

    XhrRequest refused{403, {}, {}, {}};
    if (method != "GET" && method != "POST") return refused;
    std::string portText = ":" + std::to_string(port);
    if (!host || (*host != "127.0.0.1" + portText && *host != "localhost" + portText))
        return refused;
    std::string prefix = "/" + std::string(token) + "/";
    if (token.empty() || target.substr(0, prefix.size()) != prefix) return refused;

    std::string_view path = target;
    std::string_view query;
    bool hasQuery = false;
    if (size_t q = target.find('?'); q != std::string_view::npos) {
        path = target.substr(0, q);
        query = target.substr(q + 1);
        hasQuery = true;
        if (size_t hash = query.find('#'); hash != std::string_view::npos)
            query = query.substr(0, hash);
    }
    XhrRequest request;
    request.origin = std::move(origin);
    request.method = std::string(path.substr(path.rfind('/') + 1));
    if (hasQuery) {
        size_t comma = query.find(',');
        request.arg1 = std::string(query.substr(0, comma));
        if (comma != std::string_view::npos) {
            std::string_view second = query.substr(comma + 1);
            request.arg2 = std::string(second.substr(0, second.find(',')));
        }
    }
    return request;
}

XhrStep xhrStep(std::string_view received, std::string_view token, unsigned port,
                size_t maxHeader) {
    size_t end = headerEnd(received);
    if (end == std::string_view::npos)
        return {received.size() > maxHeader ? XhrStep::Close : XhrStep::Wait, {}};
    if (end > maxHeader) return {XhrStep::Close, {}};
    // The body, if any, is never waited for: the call runs as soon as the header is complete.
    auto request = parseXhrRequest(received.substr(0, end), token, port);
    if (!request) return {XhrStep::Close, {}};  // not HTTP: closed without an answer
    if (request->status != 0) return {XhrStep::Refuse, std::move(*request)};
    return {XhrStep::Call, std::move(*request)};
}

std::string xhrResponse(std::string_view body) {
    std::string out =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nAccess-Control-Allow-Origin: *\r\n"
        "Connection: close\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n";
    out.append(body);
    return out;
}

std::string xhrRefusal(int status) {
    const char* reason = status == 403 ? "Forbidden" : "Bad Request";
    return "HTTP/1.1 " + std::to_string(status) + " " + reason +
           "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

std::string XhrServer::token() const {
    std::lock_guard guard(lock_);
    return token_;
}

bool XhrServer::start() {
    unsigned previous = port_.load();
    if (previous != 0 && thread_.joinable() && somethingListensOn(previous)) return false;
    // Also after a start that found no port: its thread runs without a listener.
    stop();
    raii::UniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake) return false;
    int wakeFd = wake.get();
    // The old port first, so pages that kept it still reach us; a free one when it is taken.
    raii::UniqueFd listener = previous != 0 ? listenOn(previous) : raii::UniqueFd();
    if (!listener) listener = listenOn(0);
    {
        std::lock_guard guard(lock_);
        token_ = newToken();
        wake_ = std::move(wake);
        ready_ = false;
    }
    if (listener) port_.store(boundPort(listener.get()));
    thread_ = std::thread(
        [this, owned = std::move(listener), wakeFd]() mutable { run(std::move(owned), wakeFd); });
    std::unique_lock guard(lock_);
    started_.wait(guard, [this] { return ready_; });
    return previous != 0 && port_.load() != previous;
}

void XhrServer::stop() {
    if (!thread_.joinable()) return;
    uint64_t one = 1;
    ssize_t written = write(wake_.get(), &one, sizeof one);
    (void)written;
    thread_.join();
    wake_.reset();
}

void XhrServer::run(raii::UniqueFd listener, int wake) {
    {
        std::lock_guard guard(lock_);
        ready_ = true;
    }
    started_.notify_all();
    // Connections whose header is still coming, oldest first. Several wait side by side, so a
    // burst of new connections (a stalled or hostile client on the machine) cannot push out
    // the page's request before its header is read; only beyond kMaxConnections does the
    // oldest unfinished one go. Calls still run one at a time, on this thread.
    struct Pending {
        raii::UniqueFd fd;
        std::string buffer;
        std::chrono::steady_clock::time_point deadline;
    };
    std::vector<Pending> pending;
    std::vector<pollfd> fds;
    while (true) {
        fds.assign({{wake, POLLIN, 0}, {listener.get(), POLLIN, 0}});
        int timeout = -1;
        auto now = std::chrono::steady_clock::now();
        for (auto& p : pending) {
            fds.push_back({p.fd.get(), POLLIN, 0});
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(p.deadline - now);
            int ms = static_cast<int>(std::max<long long>(0, left.count()));
            timeout = timeout < 0 ? ms : std::min(timeout, ms);
        }
        int n = poll(fds.data(), fds.size(), timeout);
        if (n < 0 && errno != EINTR) break;
        if (fds[0].revents) break;
        // What already arrived is served before anything new is accepted.
        now = std::chrono::steady_clock::now();
        std::vector<Pending> kept;
        for (size_t k = 0; k < pending.size(); ++k) {
            Pending& p = pending[k];
            bool finished = false;
            if (fds[2 + k].revents & (POLLIN | POLLHUP | POLLERR))
                finished = serve(p.fd.get(), p.buffer);
            if (!finished && now >= p.deadline) finished = true;  // too slow
            if (!finished) kept.push_back(std::move(p));
        }
        pending = std::move(kept);
        if (listener && (fds[1].revents & POLLIN)) {
            int accepted = accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (accepted >= 0) {
                if (pending.size() >= kMaxConnections) pending.erase(pending.begin());
                timeval sendLimit{kHeaderTimeoutMs / 1000, 0};
                setsockopt(accepted, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
                pending.push_back({raii::UniqueFd(accepted), std::string(),
                                   std::chrono::steady_clock::now() +
                                       std::chrono::milliseconds(kHeaderTimeoutMs)});
            }
        }
    }
}

// Reads what arrived and answers once the header is complete. Returns true when the
// connection is finished with: answered, refused, closed by the peer, or not HTTP.
bool XhrServer::serve(int connection, std::string& buffer) {
    char chunk[4096];
    ssize_t n = recv(connection, chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
    if (n <= 0) return true;
    buffer.append(chunk, static_cast<size_t>(n));
    XhrStep step = xhrStep(buffer, token(), port_.load(), kMaxHeader);
    switch (step.kind) {
        case XhrStep::Wait:
            return false;
        case XhrStep::Close:
            return true;
        case XhrStep::Refuse:
            sendAll(connection, xhrRefusal(step.request.status), wake_.get(), kSendStallMs);
            return true;
        case XhrStep::Call:
            break;
    }
    if (auto refused = admit_ ? admit_(step.request.origin) : std::nullopt) {
        sendAll(connection, xhrResponse(bridge::resultError(*refused)), wake_.get(), kSendStallMs);
        return true;
    }
    std::string answer;
    // The server thread's body: nothing may escape it (that would end the application). A call
    // that throws past the bridge (it catches what the functions throw) closes the connection.
    try {
        answer = xhrResponse(dispatch_(step.request.method, step.request.arg1, step.request.arg2));
    } catch (const std::exception& e) {
        syslog(LOG_ERR, "loopback call failed: %s", e.what());
        return true;
    }
    sendAll(connection, answer, wake_.get(), kSendStallMs);
    return true;
}

}  // namespace lumetta::host
