#pragma once

// The host's control connection to a device: a non-blocking TCP socket driven by the GLib main
// loop, a connect time-out, a one-second receive check and a keep-alive thread.

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/raii/GSourceId.h"
#include "base/raii/UniqueFd.h"

namespace lumetta::link {

/// What the client reports. Every call comes on the main thread, from the main loop.
class DLKNetClientDelegate {
  public:
    virtual ~DLKNetClientDelegate() = default;
    virtual void streamOpenCompleted() = 0;
    /// The connect time-out expired; the socket is already closed.
    virtual void streamOpenFailed() = 0;
    /// The connection failed; the socket is already closed.
    virtual void streamErrorOccurred() = 0;
    /// The peer closed, or fell silent past the keep-alive time-out; the socket is closed.
    virtual void streamEndEncountered() = 0;
    /// Bytes arrived; they are valid only during the call.
    virtual void streamHasBytesAvailable(const uint8_t* bytes, size_t size) = 0;
    /// True while a message has been started but not completed; a stall then is an error.
    virtual bool streamIsMidMessage() const { return false; }
};

class DLKNetClient;

/// Writes the 4-byte keep-alive through its client once a second until stopped. The client
/// owns it and joins it before the connection goes away, so the thread never outlives it.
class DLKKeepAliveThread {
  public:
    /// Starts the thread at once.
    DLKKeepAliveThread(DLKNetClient& client, std::chrono::milliseconds interval);
    /// Kills and joins.
    ~DLKKeepAliveThread();
    DLKKeepAliveThread(const DLKKeepAliveThread&) = delete;
    DLKKeepAliveThread& operator=(const DLKKeepAliveThread&) = delete;

    /// Asks the thread to end and wakes it; any thread.
    void kill();

  private:
    void run();

    DLKNetClient& client_;
    std::chrono::milliseconds interval_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;  // last: starts after, and stops before, what it uses
};

/// The control connection. Created, driven and destroyed on the main thread; `write` may also
/// be called from the keep-alive thread. Neither copyable nor movable: the main loop and the
/// thread point at it.
class DLKNetClient {
  public:
    enum Status : int32_t { closed = 0, connecting = 1, connected = 2 };

    DLKNetClient();
    ~DLKNetClient();
    DLKNetClient(const DLKNetClient&) = delete;
    DLKNetClient& operator=(const DLKNetClient&) = delete;

    /// Starts connecting to the IPv4 address `host` (dotted decimal; no name look-up, which
    /// could block) at `port`. Requires a closed client. A bad address fails with
    /// `streamErrorOccurred` from the main loop, never from inside this call.
    void connectToServer(const std::string& host, uint16_t port);

    /// Closes the connection and cancels its time-outs and thread; silent; harmless when closed.
    void stopConnection();

    /// Queues `size` bytes whole and sends what the socket takes now; the rest goes out as the
    /// socket drains, in order, never interleaved with other writes. Returns `size`, or 0 when
    /// there is no connection or the backlog is full (the bytes are then dropped). Main thread
    /// and keep-alive thread.
    int64_t write(const uint8_t* bytes, size_t size);

    /// Writes the keep-alive if the keep-alive time-out is above 0; keep-alive thread.
    void sendKeepAlive();

    Status status() const { return status_.load(); }
    int32_t connectTimeout() const { return connectTimeout_; }
    void setConnectTimeout(int32_t seconds) { connectTimeout_ = seconds; }
    int32_t keepAliveTimeout() const { return keepAliveTimeout_.load(); }
    void setKeepAliveTimeout(int32_t seconds) { keepAliveTimeout_.store(seconds); }
    void setDelegate(DLKNetClientDelegate* delegate) { delegate_ = delegate; }

    /// Length of one check tick and one keep-alive period; tests shorten it.
    void setTickInterval(std::chrono::milliseconds interval) { tick_ = interval; }

    /// Bytes queued but not yet taken by the socket.
    size_t backlog();

    /// Upper bound of the write backlog; a peer that stops reading cannot make us grow past it.
    static constexpr size_t kMaxBacklog = 1 << 20;

  private:
    static gboolean onSocket(gint fd, GIOCondition condition, gpointer self);
    static gboolean onConnectTimeout(gpointer self);
    static gboolean onTick(gpointer self);
    static gboolean onFailSoon(gpointer self);

    void socketReady(GIOCondition condition);
    void openCompleted();
    void checkConnection();
    void fail();
    void end();
    // Sends queued bytes while the socket takes them; caller holds writeLock_. False on a
    // socket error.
    bool flushLocked();
    void watch(GIOCondition condition);

    DLKNetClientDelegate* delegate_ = nullptr;
    std::atomic<Status> status_{closed};
    std::thread::id owner_;  // the main thread, which alone touches the main loop's sources
    int32_t connectTimeout_ = 5;
    std::atomic<int32_t> keepAliveTimeout_{3};
    int32_t checkCounter_ = 0;
    std::chrono::milliseconds tick_{1000};
    bool watchingOutput_ = false;
    bool writeFailed_ = false;

    std::vector<uint8_t> readBuffer_;

    std::mutex writeLock_;  // guards fd_ writes, outQueue_, outOffset_
    raii::UniqueFd fd_;
    std::vector<uint8_t> outQueue_;
    size_t outOffset_ = 0;

    raii::GSourceId socketWatch_;
    raii::GSourceId connectTimer_;
    raii::GSourceId tickTimer_;
    raii::GSourceId failSoon_;
    std::unique_ptr<DLKKeepAliveThread> keepAlive_;  // last: stopped before the socket closes
};

}  // namespace lumetta::link
