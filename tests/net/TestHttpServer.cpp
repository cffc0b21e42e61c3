#include "net/TestHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <stdexcept>

namespace lumetta::test {

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

uint64_t number(const std::string& text) {
    return text.empty() ? 0 : std::strtoull(text.c_str(), nullptr, 10);
}

const char* reason(int code) {
    switch (code) {
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 204:
            return "No Content";
        case 302:
            return "Found";
        case 404:
            return "Not Found";
        default:
            return "Status";
    }
}

}  // namespace

TestHttpServer::TestHttpServer() {
    listen_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listen_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listen_.get(), 64) != 0 ||
        getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot listen on loopback");
    port_ = ntohs(address.sin_port);
    wake_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    acceptor_ = std::thread([this] { acceptLoop(); });
}

TestHttpServer::~TestHttpServer() {
    stop_ = true;
    uint64_t one = 1;
    [[maybe_unused]] auto ignored = ::write(wake_.get(), &one, sizeof one);
    acceptor_.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard guard(lock_);
        for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
        workers.swap(workers_);
    }
    for (auto& t : workers) t.join();
}

std::string TestHttpServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

TestHttpServer::Upload TestHttpServer::lastUpload() {
    std::lock_guard guard(lock_);
    return upload_;
}

void TestHttpServer::acceptLoop() {
    while (!stopped()) {
        pollfd fds[] = {{listen_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        if (::poll(fds, 2, 500) <= 0 || fds[1].revents) continue;
        int fd = ::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard guard(lock_);
        open_.push_back(fd);
        ++busy_;
        workers_.emplace_back([this, fd] {
            serve(fd);
            std::lock_guard inner(lock_);
            open_.erase(std::find(open_.begin(), open_.end(), fd));
            ::close(fd);
            --busy_;
        });
    }
}

bool TestHttpServer::sendAll(int fd, const void* bytes, size_t size) {
    auto p = static_cast<const uint8_t*>(bytes);
    while (size > 0) {
        ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void TestHttpServer::serve(int fd) {
    // The request head.
    std::string head;
    std::vector<uint8_t> buffer(1 << 20);
    size_t end = std::string::npos;
    while ((end = head.find("\r\n\r\n")) == std::string::npos && head.size() < 65536) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0 || stopped()) return;
        ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) return;
        head.append(reinterpret_cast<char*>(buffer.data()), static_cast<size_t>(n));
    }
    if (end == std::string::npos) return;
    std::string rest = head.substr(end + 4);
    head.resize(end);
    ++requests_;

    auto lineEnd = head.find("\r\n");
    std::string requestLine = head.substr(0, lineEnd);
    std::map<std::string, std::string> headers;
    for (size_t at = lineEnd; at != std::string::npos && at < head.size();) {
        size_t start = at + 2;
        size_t next = head.find("\r\n", start);
        std::string line =
            head.substr(start, next == std::string::npos ? std::string::npos : next - start);
        if (auto colon = line.find(':'); colon != std::string::npos) {
            size_t value = line.find_first_not_of(' ', colon + 1);
            headers[lower(line.substr(0, colon))] =
                value == std::string::npos ? "" : line.substr(value);
        }
        at = next;
    }
    auto sp1 = requestLine.find(' ');
    auto sp2 = requestLine.find(' ', sp1 + 1);
    std::string method = requestLine.substr(0, sp1);
    std::string path = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    auto segment = [&](const std::string& prefix) -> std::optional<std::string> {
        if (path.rfind(prefix, 0) != 0) return std::nullopt;
        return path.substr(prefix.size());
    };

    auto answerHead = [&](int code, const std::string& extra) {
        std::string text = "HTTP/1.1 " + std::to_string(code) + " " + reason(code) + "\r\n" +
                           extra + "Connection: close\r\n\r\n";
        return sendAll(fd, text.data(), text.size());
    };
    auto sendPattern = [&](uint64_t from, uint64_t count) {
        std::vector<uint8_t> block(std::min<uint64_t>(count, 1 << 20));
        while (count > 0) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(count, block.size()));
            for (size_t i = 0; i < n; ++i) block[i] = patternByte(from + i);
            if (!sendAll(fd, block.data(), n)) return false;
            from += n;
            count -= n;
        }
        return true;
    };

    if (method == "PUT" && path == "/discard") {
        // Benchmarks: count the body and nothing else.
        uint64_t expected = number(headers["content-length"]);
        uint64_t got = rest.size();
        while (got < expected) {
            ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) return;
            got += static_cast<uint64_t>(n);
        }
        answerHead(200, "Content-Length: 0\r\n");
        return;
    }
    if (method == "PUT") {
        if (auto code = segment("/upload/")) {
            Upload up;
            up.method = method;
            up.headers = headers;
            Fnv digest;
            uint64_t expected = number(headers["content-length"]);
            digest.add(reinterpret_cast<const uint8_t*>(rest.data()), rest.size());
            up.size = rest.size();
            while (up.size < expected) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 10000) <= 0 || stopped()) break;
                ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
                if (n <= 0) break;
                digest.add(buffer.data(), static_cast<size_t>(n));
                up.size += static_cast<uint64_t>(n);
            }
            up.digest = digest.value;
            up.complete = up.size == expected;
            {
                std::lock_guard guard(lock_);
                upload_ = up;
            }
            int status = static_cast<int>(number(*code));
            answerHead(status, status == 204 ? "" : "Content-Length: 2\r\n");
            if (status != 204) sendAll(fd, "ok", 2);
            return;
        }
    }
    if (auto blob = segment("/blob/")) {
        // Benchmarks: one block sent over and over, so the server costs next to nothing.
        uint64_t size = number(*blob);
        if (!answerHead(200, "Content-Length: " + std::to_string(size) + "\r\n")) return;
        for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = patternByte(i);
        for (uint64_t at = 0; at < size;) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - at));
            if (!sendAll(fd, buffer.data(), n)) return;
            at += n;
        }
    } else if (auto fixed = segment("/fixed/")) {
        uint64_t size = number(*fixed);
        if (answerHead(200, "Content-Length: " + std::to_string(size) + "\r\n"))
            sendPattern(0, size);
    } else if (auto chunked = segment("/chunked/")) {
        uint64_t size = number(*chunked);
        if (!answerHead(200, "Transfer-Encoding: chunked\r\n")) return;
        for (uint64_t at = 0; at < size;) {
            uint64_t piece = std::min<uint64_t>(1000, size - at);
            char line[32];
            int length = std::snprintf(line, sizeof line, "%llx\r\n",
                                       static_cast<unsigned long long>(piece));
            if (!sendAll(fd, line, static_cast<size_t>(length)) || !sendPattern(at, piece) ||
                !sendAll(fd, "\r\n", 2))
                return;
            at += piece;
        }
        sendAll(fd, "0\r\n\r\n", 5);
    } else if (auto status = segment("/status/")) {
        std::string page = "<html>error page</html>";
        if (answerHead(static_cast<int>(number(*status)),
                       "Content-Length: " + std::to_string(page.size()) + "\r\n"))
            sendAll(fd, page.data(), page.size());
    } else if (path == "/slow") {
        if (!answerHead(200, "Content-Length: 100000000\r\n")) return;
        for (uint64_t at = 0; !stopped(); at += 1024) {
            if (!sendPattern(at, 1024)) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    } else if (auto half = segment("/closemid/")) {
        uint64_t size = number(*half);
        if (answerHead(200, "Content-Length: " + std::to_string(size) + "\r\n"))
            sendPattern(0, size / 2);
    } else if (auto twice = segment("/long/")) {
        uint64_t size = number(*twice);
        if (answerHead(200, "Content-Length: " + std::to_string(size) + "\r\n"))
            sendPattern(0, size * 2);
    } else if (path == "/stall" || path == "/noanswer") {
        if (path == "/stall" &&
            (!answerHead(200, "Content-Length: 1000\r\n") || !sendPattern(0, 10)))
            return;
        while (!stopped()) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0 && ::recv(fd, buffer.data(), buffer.size(), 0) <= 0) return;
        }
    } else if (path == "/redirect") {
        answerHead(302, "Location: /redirect\r\nContent-Length: 0\r\n");
    } else if (path == "/hugeheader") {
        answerHead(200, "X-Huge: " + std::string(1 << 20, 'h') + "\r\nContent-Length: 2\r\n");
        sendAll(fd, "ok", 2);
    } else {
        answerHead(404, "Content-Length: 0\r\n");
    }
}

}  // namespace lumetta::test
