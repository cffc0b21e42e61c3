#pragma once

#include <memory>
#include <string>

#include "net/DnsSd.h"
#include "net/NetService.h"

namespace lumetta::net {

class NetServiceBrowser;

/// What a browser reports; main thread.
class NetServiceBrowserDelegate {
  public:
    virtual ~NetServiceBrowserDelegate() = default;
    /// A new service; the delegate takes ownership.
    virtual void netServiceBrowserDidFindService(NetServiceBrowser& browser,
                                                 std::unique_ptr<NetService> service,
                                                 bool moreComing) = 0;
    /// A service went away; `service` describes it and lives only for the call.
    virtual void netServiceBrowserDidRemoveService(NetServiceBrowser& browser, NetService& service,
                                                   bool moreComing) = 0;
    virtual void netServiceBrowserDidStopSearch(NetServiceBrowser& browser) = 0;
    /// The search ended with a DNS-SD error code.
    virtual void netServiceBrowserDidNotSearch(NetServiceBrowser& browser, int32_t code) = 0;
};

/// One browse on its own shared DNS-SD connection. Main thread only.
class NetServiceBrowser {
  public:
    /// `client` makes the connection; not owned, outlives the browser.
    explicit NetServiceBrowser(DnsSdClient& client);
    virtual ~NetServiceBrowser();
    NetServiceBrowser(const NetServiceBrowser&) = delete;
    NetServiceBrowser& operator=(const NetServiceBrowser&) = delete;

    /// Starts browsing unless a connection exists already; failures end in didNotSearch.
    void searchForServicesOfType(const std::string& type, const std::string& domain);
    /// Ends the browse and the connection, then reports the stop.
    void stop();
    /// Ends the browse, then the shared connection (and with it every lookup on it).
    void closeRef();
    void didNotSearch(int32_t code);

    /// The shared connection, or null when not searching.
    DnsSdConnection* mainRef() const { return mainRef_.get(); }

    NetServiceBrowserDelegate* delegate = nullptr;  ///< not owned

  private:
    void didFindService(std::unique_ptr<NetService> service);
    void didRemoveService(NetService& service);

    DnsSdClient& client_;
    std::unique_ptr<DnsSdConnection> mainRef_;
    DnsSdOperationPtr browseRef_;
};

/// The browser class the discovery creates; adds nothing.
class XNetServiceBrowser final : public NetServiceBrowser {
  public:
    using NetServiceBrowser::NetServiceBrowser;
};

}  // namespace lumetta::net
