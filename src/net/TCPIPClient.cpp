#include "net/TCPIPClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace lumetta::net {

TCPIPClient::~TCPIPClient() {
    close();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            // Never by design: the reader holds no owning reference. Better a leak than a hang.
            syslog(LOG_ERR, "TCPIPClient destroyed on its own reader thread");
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

bool TCPIPClient::connect(const std::string& address, uint16_t port) {
    if (fd_) return false;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = inet_addr(address.c_str());
    // A text that does not parse is the all-ones address, which no connection can reach; say
    // so at once rather than asking the network.
    if (peer.sin_addr.s_addr == INADDR_NONE) return false;
    raii::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!fd) return false;
    int result;
    do {
        result = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    } while (result != 0 && errno == EINTR);
    if (result != 0) return false;
    fd_ = std::move(fd);
    return true;
}

void TCPIPClient::start() {
    if (thread_.joinable() || !fd_) return;
    thread_ = std::thread([this] { recv(); });
}

void TCPIPClient::close() {
    if (closing_.exchange(true)) return;
    if (fd_) ::shutdown(fd_.get(), SHUT_RDWR);
    wake_.notify_all();
}

ssize_t TCPIPClient::send(const uint8_t* bytes, size_t size) {
    if (!fd_) return -1;
    size_t sent = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    while (sent < size && !closing_.load()) {
        ssize_t n = ::send(fd_.get(), bytes + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            lastProgress = std::chrono::steady_clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The peer is not reading: wait for room, but not for ever on the caller's thread.
            auto waited = std::chrono::steady_clock::now() - lastProgress;
            if (waited > std::chrono::milliseconds(kSendStallMs)) break;
            pollfd p{fd_.get(), POLLOUT, 0};
            ::poll(&p, 1, 100);
            continue;
        }
        break;
    }
    return sent > 0 ? static_cast<ssize_t>(sent) : (size == 0 ? 0 : -1);
}

void TCPIPClient::setDelegate(std::shared_ptr<TCPIPClientDelegate> delegate) {
    std::lock_guard guard(lock_);
    delegate_ = std::move(delegate);
}

void TCPIPClient::detach() {
    quiet_.store(true);
    close();
    std::lock_guard guard(lock_);
    delegate_.reset();
}

void TCPIPClient::recv() {
    try {
        std::vector<uint8_t> buffer(kBufferSize);
        const int fd = fd_.get();
        while (true) {
            {
                std::unique_lock guard(lock_);
                while (!closing_.load() && delegate_ && !delegate_->mayReceive())
                    wake_.wait_for(guard, std::chrono::milliseconds(5));
            }
            ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            std::lock_guard guard(lock_);
            if (delegate_ && !quiet_.load())
                delegate_->received(buffer.data(), static_cast<size_t>(n));
        }
    } catch (const std::exception& e) {
        // The connection cannot go on, but it still ends the one way: closed, once.
        syslog(LOG_ERR, "TCP connection %d: %s", fd_.get(), e.what());
        ::shutdown(fd_.get(), SHUT_RDWR);
    }
    std::lock_guard guard(lock_);
    try {
        if (delegate_ && !quiet_.load()) delegate_->closed();
    } catch (const std::exception& e) {
        syslog(LOG_ERR, "TCP connection %d: %s", fd_.get(), e.what());
    }
    delegate_.reset();
}

}  // namespace lumetta::net
