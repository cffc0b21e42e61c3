#pragma once

// The tcpip bridge module: raw TCP client connections numbered by their socket descriptor,
// with everything the peer sends delivered to every page as "tcpip" events.

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "bridge/Module.h"
#include "net/TCPIPClient.h"

namespace lumetta::bridge {
class EventQueue;
class MainThread;
class NotificationCenter;
}  // namespace lumetta::bridge

namespace lumetta::modules::tcpip {

/// The open connections by number, owning their clients; its own lock guards it. Shared by
/// the module and every connection's adapter, so an adapter ending late still finds it.
class ConnectionTable {
  public:
    /// Enters `client` under `number`. Any thread.
    void insert(int number, std::shared_ptr<net::TCPIPClient> client);
    /// The client under `number`, or null. Any thread.
    std::shared_ptr<net::TCPIPClient> find(int number);
    /// Moves the client under `number` to the ended ones, whose readers are still finishing;
    /// false when there is none. Reader thread.
    bool retire(int number);
    /// Lets go of the ended clients, joining their readers. Any thread but a reader's.
    void reap();
    /// Empties the table, handing over every client, ended ones included. Any thread.
    std::vector<std::shared_ptr<net::TCPIPClient>> takeAll();
    /// Open connections.
    size_t size();

  private:
    std::mutex lock_;
    std::map<int, std::shared_ptr<net::TCPIPClient>> clients_;
    std::vector<std::shared_ptr<net::TCPIPClient>> retired_;
};

/// Turns one connection's data and end into "tcpip" events posted through "lumetta.postEvent"
/// to every page. Its methods run on the connection's reader thread.
class _TCPIPClientDelegate final : public net::TCPIPClientDelegate {
  public:
    /// `fd` is the connection number. `center`, `mainThread` and `pageQueue` outlive the reader
    /// thread (the module joins it at teardown); `pageQueue` is the owning page's event queue,
    /// whose length paces reading.
    _TCPIPClientDelegate(int fd, std::shared_ptr<ConnectionTable> connections,
                         bridge::NotificationCenter& center, bridge::MainThread& mainThread,
                         bridge::EventQueue& pageQueue);

    /// "tcpip" "read" with the bytes as hex text.
    void received(const uint8_t* bytes, size_t size) override;
    /// "tcpip" "closed"; takes the client out of the table and has it released on the main
    /// thread, where its reader is joined.
    bool closed() override;
    /// False while the page has more than kMaxBacklog events waiting.
    bool mayReceive() override;

    /// Queued events above which a connection stops reading until the page catches up.
    static constexpr size_t kMaxBacklog = 64;

    const int fd;

  private:
    std::shared_ptr<ConnectionTable> connections_;
    bridge::NotificationCenter& center_;
    bridge::MainThread& mainThread_;
    bridge::EventQueue& pageQueue_;
};

/// The module object: owns the connection table. At teardown every connection is closed
/// quietly (no closed events) and its reader joined.
class TcpipModule final : public bridge::Module {
  public:
    explicit TcpipModule(bridge::ModuleContext& context);
    ~TcpipModule() override;
    TcpipModule(const TcpipModule&) = delete;
    TcpipModule& operator=(const TcpipModule&) = delete;

    ConnectionTable& connections() { return *connections_; }

  private:
    std::shared_ptr<ConnectionTable> connections_ = std::make_shared<ConnectionTable>();
};

/// The tcpip module; torn down with the TCP connections, before the device objects.
bridge::ModuleDescriptor descriptor();

}  // namespace lumetta::modules::tcpip
