#pragma once

// One raw TCP client connection: a blocking IPv4 connect, a reader thread that hands every
// chunk to its delegate, and writes from any thread. No GLib: events are the delegate's job.

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/raii/UniqueFd.h"

namespace lumetta::net {

/// Receives what one connection reads and its end.
class TCPIPClientDelegate {
  public:
    virtual ~TCPIPClientDelegate() = default;
    /// One chunk read from the peer (at most TCPIPClient::kBufferSize bytes). Reader thread.
    virtual void received(const uint8_t* bytes, size_t size) = 0;
    /// The connection has ended (peer close, read error or local close); called once, after
    /// the last `received`. True when the delegate is done with the connection. Reader thread.
    virtual bool closed() = 0;
    /// Asked before every read: false holds reading back, so a peer that sends faster than the
    /// page takes its events is slowed by TCP instead of filling memory. Reader thread.
    virtual bool mayReceive() { return true; }
};

/// A TCP client. Not copyable or movable: the reader thread works on `this`.
///
/// The descriptor is closed exactly once, by the destructor after the reader has been joined;
/// `close` only shuts the socket down, which wakes the reader and makes it end.
class TCPIPClient {
  public:
    /// Largest chunk read at once (the reader's buffer).
    static constexpr size_t kBufferSize = 0x20000;

    TCPIPClient() = default;
    /// Shuts the socket down, joins the reader and closes the descriptor. Any thread but the
    /// reader's.
    ~TCPIPClient();
    TCPIPClient(const TCPIPClient&) = delete;
    TCPIPClient& operator=(const TCPIPClient&) = delete;

    /// Connects to a dotted-decimal IPv4 address (no name lookup), blocking the caller until the
    /// connection is made or refused. False when already connected, the text is not an
    /// address, or the connection fails.
    bool connect(const std::string& address, uint16_t port);

    /// Starts the reader thread once; later calls do nothing. Call after `connect`.
    void start();

    /// Ends the connection: the socket is shut down both ways and the reader ends, reporting
    /// `closed`. Any thread; harmless when repeated.
    void close();

    /// Writes all of `bytes` unless the connection ends or the peer takes nothing for a while
    /// (kSendStall); the bytes written, or -1 when none could be. Any thread.
    ssize_t send(const uint8_t* bytes, size_t size);

    /// The socket descriptor, -1 before `connect` succeeded.
    int nativeSocket() const { return fd_.get(); }

    /// Sets the receiver of data and of the end. Set before `start`.
    void setDelegate(std::shared_ptr<TCPIPClientDelegate> delegate);

    /// Drops the delegate without telling it anything more and closes the connection; waits for
    /// a delegate call in progress on the reader thread. Used at teardown. Any thread.
    void detach();

    /// How long `send` waits for a peer that takes no bytes at all.
    static constexpr int kSendStallMs = 5000;

  private:
    void recv();  // the reader thread's body

    std::mutex lock_;  // guards delegate_ and delegate calls
    std::condition_variable wake_;
    std::shared_ptr<TCPIPClientDelegate> delegate_;
    raii::UniqueFd fd_;
    std::atomic<bool> closing_{false};
    std::atomic<bool> quiet_{false};
    std::thread thread_;  // last: joined before the rest goes
};

}  // namespace lumetta::net
