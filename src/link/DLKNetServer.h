#pragma once

// A TCP listener the host announces to a device (discovery replies, audio data). Accepted
// connections are non-blocking sockets driven by the GLib main loop.

#include <netinet/in.h>
#include <sys/types.h>

#include <memory>
#include <optional>

#include "base/raii/GSourceId.h"
#include "base/raii/UniqueFd.h"

namespace lumetta::link {

class DLKNetServer;

/// What a server reports about its connection. Every call comes on the main thread. A delegate
/// may destroy the server it is told about from inside any of these calls.
class DLKNetServerDelegate {
  public:
    virtual ~DLKNetServerDelegate() = default;
    /// A connection was accepted.
    virtual void streamEventOpenCompleted(DLKNetServer& server) = 0;
    /// Bytes can be read with `server.read`.
    virtual void streamHasBytesAvailable(DLKNetServer& server) = 0;
    /// The connection takes more bytes (only while `setWantsSpace(true)`).
    virtual void streamHasSpaceAvailable(DLKNetServer& server) = 0;
    /// The connection failed; it is already closed.
    virtual void streamErrorOccurred(DLKNetServer& server) = 0;
    /// The peer closed; the connection is already closed.
    virtual void streamEndEncountered(DLKNetServer& server) = 0;
    /// A multiclient server accepted a connection into a server of its own, which the delegate
    /// now owns (dropping it closes the connection).
    virtual void serverDidAccept(std::unique_ptr<DLKNetServer> connection) { (void)connection; }
};

/// One listener, or (made by a multiclient listener) one accepted connection. Main thread only.
/// Neither copyable nor movable: the main loop points at it.
class DLKNetServer {
  public:
    /// `portNo` 0 lets the system choose at the first start.
    explicit DLKNetServer(uint16_t portNo = 0);
    ~DLKNetServer();
    DLKNetServer(const DLKNetServer&) = delete;
    DLKNetServer& operator=(const DLKNetServer&) = delete;

    /// Listens on any local address at `portNo` (address reuse on); after the first start
    /// `portNo` holds the chosen port, and later starts bind it again. False when it failed,
    /// leaving the server not listening.
    bool startServer();
    /// Closes the connection and the listener.
    void stopServer();
    /// Closes the accepted connection, silently.
    void stopConnection();
    /// Takes over an accepted socket (or, in multiclient mode, hands it to a new server).
    void acceptConnection(raii::UniqueFd fd, const sockaddr_in& peer);

    /// A read result for a socket that has nothing to give yet.
    static constexpr ssize_t kWouldBlock = -2;
    /// Reads up to `size` bytes: the count, 0 at the end of the stream, -1 on an error, or
    /// kWouldBlock. An end or error closes the connection and is reported once the current
    /// delegate call returns.
    ssize_t read(uint8_t* bytes, size_t size);
    /// Writes up to `size` bytes once, without blocking: the count, 0 when `size` is 0 or there
    /// is no connection, -1 on an error, or kWouldBlock.
    ssize_t write(const uint8_t* bytes, size_t size);

    bool listening() const { return static_cast<bool>(listener_); }
    bool hasConnection() const { return static_cast<bool>(connection_); }
    uint16_t portNo() const { return portNo_; }
    bool multiclient() const { return multiclient_; }
    void setMulticlient(bool on) { multiclient_ = on; }
    void setDelegate(DLKNetServerDelegate* delegate) { delegate_ = delegate; }
    DLKNetServerDelegate* delegate() const { return delegate_; }
    /// The connected peer, while a connection is held.
    const std::optional<sockaddr_in>& clientAddress() const { return clientAddress_; }
    /// Whether the delegate hears space-available events; off by default, since a writable
    /// socket is nearly always writable and would keep the main loop busy.
    void setWantsSpace(bool on);
    /// Listens on this address instead of any (host byte order); before `startServer`.
    void setBindAddress(uint32_t address) { bindAddress_ = address; }

  private:
    static gboolean onListener(gint fd, GIOCondition condition, gpointer self);
    static gboolean onConnection(gint fd, GIOCondition condition, gpointer self);
    void acceptReady();
    void connectionReady(GIOCondition condition);
    void watchConnection();
    void adopt(raii::UniqueFd fd, const sockaddr_in& peer);
    // Closes after a read saw the end or an error, and tells the delegate.
    void finish();

    uint16_t portNo_;
    uint32_t bindAddress_ = INADDR_ANY;
    bool multiclient_ = false;
    bool wantsSpace_ = false;
    DLKNetServerDelegate* delegate_ = nullptr;
    std::optional<sockaddr_in> clientAddress_;
    enum class Ending { none, end, error };
    Ending ending_ = Ending::none;
    // Lets a callback learn that the delegate destroyed this object meanwhile.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    raii::UniqueFd listener_;
    raii::UniqueFd connection_;
    raii::GSourceId listenerWatch_;
    raii::GSourceId connectionWatch_;
};

}  // namespace lumetta::link
