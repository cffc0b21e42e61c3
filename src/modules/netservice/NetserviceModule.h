#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "bridge/Liveness.h"
#include "bridge/Module.h"
#include "bridge/NativeCall.h"
#include "net/DnsSd.h"
#include "net/NetServiceDiscovery.h"

namespace lumetta::modules::netservice {

/// Turns the discovery's reports into "netservice" events. Main thread.
class _NetServiceDiscoveryDelegate final : public net::NetServiceDiscoveryDelegate {
  public:
    /// The bridge that hears the events; not owned, set before any report.
    bridge::NativeCall* native = nullptr;
    /// Runs after each stopped event; main thread.
    std::function<void()> didStop;

    /// "resolved" with the JSON object of name, address and port.
    void netServiceDidResolve(const std::string& name, const std::string& address,
                              int64_t port) override;
    /// "lost" with the service name.
    void netServiceDidRemoveService(const std::string& name) override;
    /// "stopped" with an empty field for an orderly stop, else the error code.
    void netServiceDidStopSearch(int32_t code) override;
};

/// The "resolved" event text (pure, for tests).
std::string resolvedEvent(const std::string& name, const std::string& address, int64_t port);
/// The "lost" event text.
std::string lostEvent(const std::string& name);
/// The "stopped" event text.
std::string stoppedEvent(int32_t code);

/// The `netservice` module: `$$netservice_search::` and `$$netservice_stop::`. The discovery is
/// created on the first search and works on the main thread; calls from another channel thread
/// hand their work to it.
class NetserviceModule final : public bridge::Module {
  public:
    using ClientFactory = std::function<std::unique_ptr<net::DnsSdClient>()>;
    NetserviceModule(bridge::ModuleContext& ctx, ClientFactory factory);
    ~NetserviceModule() override;

    /// The discovery, or null before the first search. Main thread.
    net::NetServiceDiscovery* discovery() const { return discovery_.get(); }

  private:
    bool search(const std::string& type);
    void stop();

    bridge::MainThread& mainThread_;
    ClientFactory factory_;
    _NetServiceDiscoveryDelegate adapter_;
    std::unique_ptr<net::DnsSdClient> client_;
    std::unique_ptr<net::NetServiceDiscovery> discovery_;
    // A search requested on another thread is answered at once; the main thread starts it.
    std::atomic<bool> requested_{false};
    bridge::Liveness alive_;
};

/// The module on the platform's DNS-SD client (Avahi).
bridge::ModuleDescriptor descriptor();
/// The module on another client (tests).
bridge::ModuleDescriptor descriptor(NetserviceModule::ClientFactory factory);

}  // namespace lumetta::modules::netservice
