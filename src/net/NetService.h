#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/DnsSd.h"

namespace lumetta::net {

class NetService;

/// What a found service reports; main thread.
class NetServiceDelegate {
  public:
    virtual ~NetServiceDelegate() = default;
    /// The service's `addresses` changed to a new address.
    virtual void netServiceDidResolveAddress(NetService& service) = 0;
};

/// One found service instance: resolves to host and port, then the host to IPv4 addresses.
/// Main thread only. Neither copyable nor movable: its lookups call back into it.
class NetService {
  public:
    /// `mainRef` is the browser's shared connection; not owned, outlives the lookups' use.
    NetService(DnsSdConnection* mainRef, std::string name, std::string type, std::string domain,
               uint32_t interfaceIndex);
    NetService(const NetService&) = delete;
    NetService& operator=(const NetService&) = delete;

    /// Starts resolving; the time-out is not applied (lookups stay open until stopped).
    void resolveWithTimeout(double seconds);
    /// Ends both lookups.
    void stop();

    void didResolvePort(uint16_t port, const std::string& target);
    void didResolveAddress(const std::vector<uint8_t>& address);
    void didNotResolve(int32_t code);

    const std::string& name() const { return name_; }
    const std::string& type() const { return type_; }
    const std::string& domain() const { return domain_; }
    uint32_t interfaceIndex() const { return interfaceIndex_; }
    int64_t port() const { return port_; }
    /// Raw socket addresses; holds the latest one only.
    const std::vector<std::vector<uint8_t>>& addresses() const { return addresses_; }

    NetServiceDelegate* delegate = nullptr;  ///< not owned

  private:
    DnsSdConnection* mainRef_;
    DnsSdOperationPtr resolveRef_;
    DnsSdOperationPtr addressRef_;
    uint32_t interfaceIndex_;
    std::string name_, type_, domain_;
    int64_t port_ = -1;
    std::vector<std::vector<uint8_t>> addresses_;
};

}  // namespace lumetta::net
