#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/NetService.h"
#include "net/NetServiceBrowser.h"

namespace lumetta::net {

/// What the discovery reports to the bridge; main thread.
class NetServiceDiscoveryDelegate {
  public:
    virtual ~NetServiceDiscoveryDelegate() = default;
    /// A found service has the IPv4 address `address` (dotted decimal) and `port`.
    virtual void netServiceDidResolve(const std::string& name, const std::string& address,
                                      int64_t port) = 0;
    /// The last instance of the service called `name` went away.
    virtual void netServiceDidRemoveService(const std::string& name) = 0;
    /// The search ended: 0 for an orderly stop, else a DNS-SD error code.
    virtual void netServiceDidStopSearch(int32_t code) = 0;
};

/// Searches for the services of one type in "local." and resolves each to IPv4 addresses.
/// Main thread only.
class NetServiceDiscovery final : public NetServiceBrowserDelegate, public NetServiceDelegate {
  public:
    /// `client` makes the browser's connection; not owned, outlives the discovery.
    explicit NetServiceDiscovery(DnsSdClient& client);
    ~NetServiceDiscovery() override;
    NetServiceDiscovery(const NetServiceDiscovery&) = delete;
    NetServiceDiscovery& operator=(const NetServiceDiscovery&) = delete;

    /// Starts a search; false (and nothing done) while one is running.
    bool searchForServicesOfType(const std::string& type);
    /// Ends a running search with a stopped report; nothing when none runs.
    void stop();
    void stopped(int32_t code);

    bool searching() const { return searching_; }
    size_t serviceCount() const { return services_.size(); }

    NetServiceDiscoveryDelegate* delegate = nullptr;  ///< not owned

    void netServiceBrowserDidFindService(NetServiceBrowser& browser,
                                         std::unique_ptr<NetService> service,
                                         bool moreComing) override;
    void netServiceBrowserDidRemoveService(NetServiceBrowser& browser, NetService& service,
                                           bool moreComing) override;
    void netServiceBrowserDidStopSearch(NetServiceBrowser& browser) override;
    void netServiceBrowserDidNotSearch(NetServiceBrowser& browser, int32_t code) override;
    void netServiceDidResolveAddress(NetService& service) override;

  private:
    XNetServiceBrowser netServiceBrowser_;
    std::vector<std::unique_ptr<NetService>> services_;
    bool searching_ = false;
};

/// The dotted-decimal text of a raw IPv4 socket address (16 bytes, family AF_INET), or nullopt
/// for any other address.
std::optional<std::string> ipv4TextFromSocketAddress(const std::vector<uint8_t>& address);

}  // namespace lumetta::net
