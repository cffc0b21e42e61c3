#pragma once

// The DNS Service Discovery client as the service-discovery classes use it: one shared
// connection with subordinate browse, resolve and address operations. Every reply arrives on
// the main thread; every call is made there.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lumetta::net {

/// One running operation; destroying it ends it. Safe to destroy from inside its own reply, and
/// after its connection has gone (it then ended with the connection).
class DnsSdOperation {
  public:
    virtual ~DnsSdOperation() = default;
};
using DnsSdOperationPtr = std::unique_ptr<DnsSdOperation>;

/// A browse reply: a service appeared (`add`) or went away, or the browse failed (`error`).
struct DnsSdBrowseReply {
    int32_t error = 0;
    bool add = false;
    std::string name, type, domain;
    uint32_t interfaceIndex = 0;
};

/// A resolve reply: the service's target host and port (host byte order), or an error.
struct DnsSdResolveReply {
    int32_t error = 0;
    std::string target;
    uint16_t port = 0;
};

/// An address reply: one address of the host was added (`add`) or removed, or an error. The
/// address is the raw bytes of a socket address (a 16-byte sockaddr_in for IPv4).
struct DnsSdAddressReply {
    int32_t error = 0;
    bool add = false;
    std::vector<uint8_t> address;
};

/// The shared connection. Destroying it ends every operation started on it.
class DnsSdConnection {
  public:
    virtual ~DnsSdConnection() = default;

    /// Browses for `type` in `domain` on every interface; nullptr with `error` set when it
    /// cannot start. `reply` runs on the main thread until the operation ends.
    virtual DnsSdOperationPtr browse(const std::string& type, const std::string& domain,
                                     std::function<void(const DnsSdBrowseReply&)> reply,
                                     int32_t& error) = 0;
    /// Resolves one service instance to its host and port on `interfaceIndex`.
    virtual DnsSdOperationPtr resolve(uint32_t interfaceIndex, const std::string& name,
                                      const std::string& type, const std::string& domain,
                                      std::function<void(const DnsSdResolveReply&)> reply,
                                      int32_t& error) = 0;
    /// Looks up the IPv4 addresses of `host` on `interfaceIndex`, one reply per address, and
    /// keeps watching for more.
    virtual DnsSdOperationPtr getAddrInfo(uint32_t interfaceIndex, const std::string& host,
                                          std::function<void(const DnsSdAddressReply&)> reply,
                                          int32_t& error) = 0;
};

/// Makes shared connections; main thread.
class DnsSdClient {
  public:
    virtual ~DnsSdClient() = default;
    /// A new connection attached to the main loop, or nullptr with `error` set.
    virtual std::unique_ptr<DnsSdConnection> createConnection(int32_t& error) = 0;
};

}  // namespace lumetta::net
