#include "link/DLKNetServer.h"

#include <arpa/inet.h>
#include <glib-unix.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>

namespace lumetta::link {

namespace {

template <class F>
void guarded(const char* where, F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        syslog(LOG_ERR, "DLKNetServer %s: %s", where, e.what());
    } catch (...) {
        syslog(LOG_ERR, "DLKNetServer %s: unknown exception", where);
    }
}

}  // namespace

DLKNetServer::DLKNetServer(uint16_t portNo) : portNo_(portNo) {}

DLKNetServer::~DLKNetServer() {
    stopServer();
}

bool DLKNetServer::startServer() {
    if (listener_) return true;
    raii::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        stopServer();
        return false;
    }
    int one = 1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(portNo_);
    addr.sin_addr.s_addr = htonl(bindAddress_);
    socklen_t len = sizeof addr;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd.get(), 5) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        len != sizeof addr) {
        syslog(LOG_WARNING, "DLKNetServer cannot listen on port %u: %s", portNo_,
               std::strerror(errno));
        stopServer();
        return false;
    }
    portNo_ = ntohs(addr.sin_port);
    listener_ = std::move(fd);
    listenerWatch_.reset(g_unix_fd_add(listener_.get(), G_IO_IN, &DLKNetServer::onListener, this));
    return true;
}

void DLKNetServer::stopServer() {
    stopConnection();
    listenerWatch_.reset();
    listener_.reset();
}

void DLKNetServer::stopConnection() {
    clientAddress_.reset();
    connectionWatch_.reset();
    connection_.reset();
}

gboolean DLKNetServer::onListener(gint, GIOCondition, gpointer self) {
    guarded("accept", [self] { static_cast<DLKNetServer*>(self)->acceptReady(); });
    return G_SOURCE_CONTINUE;
}

void DLKNetServer::acceptReady() {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    raii::UniqueFd fd(::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &len,
                                SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd || len != sizeof peer) return;
    acceptConnection(std::move(fd), peer);
}

void DLKNetServer::acceptConnection(raii::UniqueFd fd, const sockaddr_in& peer) {
    if (!fd) return;
    int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (multiclient_) {
        auto child = std::make_unique<DLKNetServer>(0);
        child->setDelegate(delegate_);
        child->adopt(std::move(fd), peer);
        auto* delegate = delegate_;
        DLKNetServer& connection = *child;
        auto alive = std::weak_ptr<bool>(child->alive_);
        if (delegate) {
            delegate->serverDidAccept(std::move(child));
            if (!alive.expired()) delegate->streamEventOpenCompleted(connection);
        }
        return;
    }
    // One connection at a time: a second one while the first is held is refused.
    if (connection_) return;
    adopt(std::move(fd), peer);
    if (delegate_) delegate_->streamEventOpenCompleted(*this);
}

void DLKNetServer::adopt(raii::UniqueFd fd, const sockaddr_in& peer) {
    clientAddress_ = peer;
    connection_ = std::move(fd);
    ending_ = Ending::none;
    watchConnection();
}

void DLKNetServer::watchConnection() {
    if (!connection_) return;
    int condition = G_IO_IN | G_IO_HUP | G_IO_ERR;
    if (wantsSpace_) condition |= G_IO_OUT;
    connectionWatch_.reset(g_unix_fd_add(connection_.get(), static_cast<GIOCondition>(condition),
                                         &DLKNetServer::onConnection, this));
}

void DLKNetServer::setWantsSpace(bool on) {
    if (wantsSpace_ == on) return;
    wantsSpace_ = on;
    watchConnection();
}

ssize_t DLKNetServer::read(uint8_t* bytes, size_t size) {
    if (!connection_) return -1;
    if (size == 0) return 0;
    for (;;) {
        ssize_t n = ::recv(connection_.get(), bytes, size, MSG_DONTWAIT);
        if (n > 0) return n;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kWouldBlock;
        if (ending_ == Ending::none) ending_ = n == 0 ? Ending::end : Ending::error;
        return n == 0 ? 0 : -1;
    }
}

ssize_t DLKNetServer::write(const uint8_t* bytes, size_t size) {
    if (!connection_ || size == 0) return 0;
    for (;;) {
        ssize_t n = ::send(connection_.get(), bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
        return -1;
    }
}

gboolean DLKNetServer::onConnection(gint, GIOCondition condition, gpointer self) {
    guarded("connection", [&] { static_cast<DLKNetServer*>(self)->connectionReady(condition); });
    return G_SOURCE_CONTINUE;
}

void DLKNetServer::connectionReady(GIOCondition condition) {
    std::weak_ptr<bool> alive = alive_;
    if (condition & G_IO_IN) {
        if (delegate_) delegate_->streamHasBytesAvailable(*this);
        if (alive.expired() || !connection_) return;
        if (ending_ != Ending::none) return finish();
        // Bytes may still wait behind a hang-up; the next round reads them or sees the end.
        if (condition & (G_IO_HUP | G_IO_ERR)) return;
    } else if (condition & (G_IO_HUP | G_IO_ERR)) {
        int error = 0;
        socklen_t len = sizeof error;
        ::getsockopt(connection_.get(), SOL_SOCKET, SO_ERROR, &error, &len);
        ending_ = error != 0 ? Ending::error : Ending::end;
        return finish();
    }
    if ((condition & G_IO_OUT) && connection_ && wantsSpace_ && delegate_)
        delegate_->streamHasSpaceAvailable(*this);
}

void DLKNetServer::finish() {
    Ending ending = std::exchange(ending_, Ending::none);
    stopConnection();
    if (!delegate_) return;
    if (ending == Ending::end)
        delegate_->streamEndEncountered(*this);
    else
        delegate_->streamErrorOccurred(*this);
}

}  // namespace lumetta::link
