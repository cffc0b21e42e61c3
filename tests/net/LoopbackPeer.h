#pragma once

// A TCP listener on 127.0.0.1 for client tests: it accepts connections on demand and hands
// out their descriptors.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "base/raii/UniqueFd.h"

namespace lumetta::test {

class LoopbackListener {
  public:
    /// Listens on `port` of 127.0.0.1 (0: any free port).
    explicit LoopbackListener(uint16_t port = 0) {
        fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        int yes = 1;
        setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd_.get(), 16) != 0)
            throw std::runtime_error("cannot listen on loopback");
        socklen_t length = sizeof address;
        getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }

    uint16_t port() const { return port_; }

    /// The next connection, waiting at most `timeoutMs`; an empty descriptor when none came.
    raii::UniqueFd accept(int timeoutMs = 10000) {
        pollfd p{fd_.get(), POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1) return raii::UniqueFd();
        return raii::UniqueFd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }

  private:
    raii::UniqueFd fd_;
    uint16_t port_ = 0;
};

/// Writes all of `bytes` to a blocking socket; false when the connection broke.
inline bool writeAll(int fd, const uint8_t* bytes, size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

/// Reads until `size` bytes came or the peer closed or `timeoutMs` passed without data.
inline std::vector<uint8_t> readSome(int fd, size_t size, int timeoutMs = 10000) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> buffer(65536);
    while (out.size() < size) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1) break;
        ssize_t n = ::recv(fd, buffer.data(), std::min(buffer.size(), size - out.size()), 0);
        if (n <= 0) break;
        out.insert(out.end(), buffer.begin(), buffer.begin() + n);
    }
    return out;
}

/// True when the peer has closed its side (a read sees the end) within `timeoutMs`.
inline bool seesEnd(int fd, int timeoutMs = 10000) {
    std::vector<uint8_t> buffer(65536);
    while (true) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1) return false;
        ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n == 0) return true;
        if (n < 0) return errno == ECONNRESET;
    }
}

}  // namespace lumetta::test
