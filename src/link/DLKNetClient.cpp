#include "link/DLKNetClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace lumetta::link {

namespace {

constexpr size_t kReadChunk = 32768;
constexpr uint8_t kKeepAlive[4] = {0, 0, 0, 0};
// Ticks a half-received message may stall before the stream counts as broken, when no
// keep-alive time-out is set to decide.
constexpr int32_t kDefaultStallTicks = 3;

template <class F>
void guarded(const char* where, F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        syslog(LOG_ERR, "DLKNetClient %s: %s", where, e.what());
    } catch (...) {
        syslog(LOG_ERR, "DLKNetClient %s: unknown exception", where);
    }
}

}  // namespace

// ---- keep-alive thread
// ---------------------------------------------------------------------------

DLKKeepAliveThread::DLKKeepAliveThread(DLKNetClient& client, std::chrono::milliseconds interval)
    : client_(client), interval_(interval), thread_([this] { run(); }) {}

DLKKeepAliveThread::~DLKKeepAliveThread() {
    kill();
    if (thread_.joinable()) thread_.join();
}

void DLKKeepAliveThread::kill() {
    {
        std::lock_guard guard(lock_);
        stop_ = true;
    }
    wake_.notify_all();
}

void DLKKeepAliveThread::run() {
    std::unique_lock guard(lock_);
    while (!stop_) {
        if (wake_.wait_for(guard, interval_, [this] { return stop_; })) break;
        guard.unlock();
        guarded("keep-alive", [this] { client_.sendKeepAlive(); });
        guard.lock();
    }
}

// ---- client
// --------------------------------------------------------------------------------------

DLKNetClient::DLKNetClient() : owner_(std::this_thread::get_id()), readBuffer_(kReadChunk) {}

DLKNetClient::~DLKNetClient() {
    stopConnection();
}

void DLKNetClient::connectToServer(const std::string& host, uint16_t port) {
    stopConnection();
    status_ = connecting;
    // The page chooses the time-out; keep its milliseconds within what a GLib timer takes.
    const int64_t seconds = std::clamp<int64_t>(connectTimeout_, 0, 4000000);
    connectTimer_.reset(
        g_timeout_add(static_cast<guint>(seconds * 1000), &DLKNetClient::onConnectTimeout, this));

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    raii::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    int rc = -1;
    if (fd && port != 0 && ::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) == 1) {
        int one = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        rc = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        if (rc != 0 && errno == EINPROGRESS) rc = 0;
    }
    if (rc != 0) {
        // Reported from the main loop so the caller never hears of it re-entrantly.
        failSoon_.reset(g_timeout_add(0, &DLKNetClient::onFailSoon, this));
        return;
    }
    {
        std::lock_guard guard(writeLock_);
        fd_ = std::move(fd);
        outQueue_.clear();
        outOffset_ = 0;
        writeFailed_ = false;
    }
    watch(static_cast<GIOCondition>(G_IO_OUT | G_IO_ERR | G_IO_HUP));
}

void DLKNetClient::watch(GIOCondition condition) {
    socketWatch_.reset(g_unix_fd_add(fd_.get(), condition, &DLKNetClient::onSocket, this));
    watchingOutput_ = (condition & G_IO_OUT) != 0;
}

void DLKNetClient::stopConnection() {
    connectTimer_.reset();
    tickTimer_.reset();
    failSoon_.reset();
    keepAlive_.reset();  // joins: no other thread touches the socket from here on
    socketWatch_.reset();
    watchingOutput_ = false;
    status_ = closed;
    std::lock_guard guard(writeLock_);
    fd_.reset();
    outQueue_.clear();
    outOffset_ = 0;
}

size_t DLKNetClient::backlog() {
    std::lock_guard guard(writeLock_);
    return outQueue_.size() - outOffset_;
}

bool DLKNetClient::flushLocked() {
    while (outOffset_ < outQueue_.size()) {
        ssize_t n = ::send(fd_.get(), outQueue_.data() + outOffset_, outQueue_.size() - outOffset_,
                           MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            outOffset_ += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            return false;
        }
    }
    if (outOffset_ == outQueue_.size()) {
        outQueue_.clear();
        outOffset_ = 0;
    } else if (outOffset_ > kMaxBacklog / 2) {
        outQueue_.erase(outQueue_.begin(), outQueue_.begin() + static_cast<ptrdiff_t>(outOffset_));
        outOffset_ = 0;
    }
    return true;
}

int64_t DLKNetClient::write(const uint8_t* bytes, size_t size) {
    bool pending = false;
    {
        std::lock_guard guard(writeLock_);
        if (!fd_ || status_ != connected || writeFailed_) return 0;
        if (size == 0) return 0;
        if (outQueue_.size() - outOffset_ + size > kMaxBacklog) return 0;
        outQueue_.insert(outQueue_.end(), bytes, bytes + size);
        if (!flushLocked()) writeFailed_ = true;
        pending = !outQueue_.empty();
    }
    // Only the main thread touches the main loop's sources; bytes the keep-alive thread leaves
    // queued are picked up by the next tick.
    if (pending && std::this_thread::get_id() == owner_ && !watchingOutput_ && status_ == connected)
        watch(static_cast<GIOCondition>(G_IO_IN | G_IO_OUT | G_IO_ERR | G_IO_HUP));
    return static_cast<int64_t>(size);
}

void DLKNetClient::sendKeepAlive() {
    if (keepAliveTimeout_.load() > 0) write(kKeepAlive, sizeof kKeepAlive);
}

gboolean DLKNetClient::onSocket(gint, GIOCondition condition, gpointer self) {
    guarded("socket", [&] { static_cast<DLKNetClient*>(self)->socketReady(condition); });
    return G_SOURCE_CONTINUE;
}

gboolean DLKNetClient::onConnectTimeout(gpointer self) {
    auto* client = static_cast<DLKNetClient*>(self);
    client->connectTimer_.release();
    guarded("connect time-out", [client] {
        if (client->status_ != connecting) return;
        client->stopConnection();
        if (client->delegate_) client->delegate_->streamOpenFailed();
    });
    return G_SOURCE_REMOVE;
}

gboolean DLKNetClient::onFailSoon(gpointer self) {
    auto* client = static_cast<DLKNetClient*>(self);
    client->failSoon_.release();
    guarded("connect", [client] { client->fail(); });
    return G_SOURCE_REMOVE;
}

gboolean DLKNetClient::onTick(gpointer self) {
    guarded("check", [self] { static_cast<DLKNetClient*>(self)->checkConnection(); });
    return G_SOURCE_CONTINUE;
}

void DLKNetClient::fail() {
    stopConnection();
    if (delegate_) delegate_->streamErrorOccurred();
}

void DLKNetClient::end() {
    stopConnection();
    if (delegate_) delegate_->streamEndEncountered();
}

void DLKNetClient::openCompleted() {
    connectTimer_.reset();
    status_ = connected;
    watch(static_cast<GIOCondition>(G_IO_IN | G_IO_ERR | G_IO_HUP));
    if (!keepAlive_) keepAlive_ = std::make_unique<DLKKeepAliveThread>(*this, tick_);
    if (delegate_) delegate_->streamOpenCompleted();
    // The delegate may have closed the connection again.
    if (status_ != connected) return;
    checkCounter_ = 0;
    tickTimer_.reset(g_timeout_add(static_cast<guint>(tick_.count()), &DLKNetClient::onTick, this));
}

void DLKNetClient::socketReady(GIOCondition condition) {
    if (status_ == connecting) {
        int error = 0;
        socklen_t len = sizeof error;
        if (::getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0)
            return fail();
        if (!(condition & G_IO_OUT)) return;
        return openCompleted();
    }
    if (status_ != connected) return;
    if (condition & G_IO_OUT) {
        bool ok, drained;
        {
            std::lock_guard guard(writeLock_);
            ok = flushLocked() && !writeFailed_;
            drained = outQueue_.empty();
        }
        if (!ok) return fail();
        if (drained) watch(static_cast<GIOCondition>(G_IO_IN | G_IO_ERR | G_IO_HUP));
    }
    if (condition & (G_IO_IN | G_IO_HUP | G_IO_ERR)) {
        ssize_t n = ::recv(fd_.get(), readBuffer_.data(), readBuffer_.size(), MSG_DONTWAIT);
        if (n > 0) {
            checkCounter_ = 0;
            if (delegate_) delegate_->streamHasBytesAvailable(readBuffer_.data(), size_t(n));
        } else if (n == 0) {
            end();
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            fail();
        }
    }
}

void DLKNetClient::checkConnection() {
    if (status_ != connected) return;
    {
        bool stuck;
        {
            std::lock_guard guard(writeLock_);
            stuck = writeFailed_;
        }
        if (stuck) return fail();
        if (backlog() > 0 && !watchingOutput_)
            watch(static_cast<GIOCondition>(G_IO_IN | G_IO_OUT | G_IO_ERR | G_IO_HUP));
    }
    const int32_t limit = keepAliveTimeout_.load();
    const int32_t old = checkCounter_++;
    if (delegate_ && delegate_->streamIsMidMessage() &&
        old >= (limit > 0 ? limit : kDefaultStallTicks))
        return fail();
    if (limit >= 1 && old >= limit) end();
}

}  // namespace lumetta::link
