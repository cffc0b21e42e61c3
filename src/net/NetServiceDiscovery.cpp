#include "net/NetServiceDiscovery.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace lumetta::net {

std::optional<std::string> ipv4TextFromSocketAddress(const std::vector<uint8_t>& address) {
    if (address.size() != sizeof(sockaddr_in)) return std::nullopt;
    sockaddr_in in{};
    std::memcpy(&in, address.data(), sizeof in);
    if (in.sin_family != AF_INET) return std::nullopt;
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &in.sin_addr, text, sizeof text)) return std::nullopt;
    return std::string(text);
}

NetServiceDiscovery::NetServiceDiscovery(DnsSdClient& client) : netServiceBrowser_(client) {
    netServiceBrowser_.delegate = this;
}

NetServiceDiscovery::~NetServiceDiscovery() {
    // The lookups are subordinates of the browser's connection: end them before it goes.
    netServiceBrowser_.delegate = nullptr;
    services_.clear();
    netServiceBrowser_.closeRef();
}

bool NetServiceDiscovery::searchForServicesOfType(const std::string& type) {
    if (searching_) return false;
    searching_ = true;
    netServiceBrowser_.searchForServicesOfType(type, "local.");
    return true;
}

void NetServiceDiscovery::stop() {
    if (!searching_) return;
    netServiceBrowser_.stop();
}

void NetServiceDiscovery::stopped(int32_t code) {
    services_.clear();
    searching_ = false;
    if (delegate) delegate->netServiceDidStopSearch(code);
}

void NetServiceDiscovery::netServiceBrowserDidFindService(NetServiceBrowser&,
                                                          std::unique_ptr<NetService> service,
                                                          bool) {
    NetService& added = *service;
    services_.push_back(std::move(service));
    added.delegate = this;
    added.resolveWithTimeout(10.0);
}

void NetServiceDiscovery::netServiceBrowserDidRemoveService(NetServiceBrowser&, NetService& removed,
                                                            bool) {
    auto same = [&removed](const std::unique_ptr<NetService>& s) {
        return s->name() == removed.name() && s->type() == removed.type() &&
               s->domain() == removed.domain();
    };
    // The same instance is seen once per interface: take the one of this interface, and tell
    // the page only when the last of them has gone.
    auto it =
        std::find_if(services_.begin(), services_.end(), [&](const std::unique_ptr<NetService>& s) {
            return same(s) && s->interfaceIndex() == removed.interfaceIndex();
        });
    if (it == services_.end()) it = std::find_if(services_.begin(), services_.end(), same);
    if (it == services_.end()) return;
    std::unique_ptr<NetService> gone = std::move(*it);
    services_.erase(it);
    gone->stop();
    if (std::none_of(services_.begin(), services_.end(), same) && delegate)
        delegate->netServiceDidRemoveService(gone->name());
}

void NetServiceDiscovery::netServiceBrowserDidStopSearch(NetServiceBrowser&) {
    stopped(0);
}

void NetServiceDiscovery::netServiceBrowserDidNotSearch(NetServiceBrowser&, int32_t code) {
    stopped(code);
}

void NetServiceDiscovery::netServiceDidResolveAddress(NetService& service) {
    if (!delegate) return;
    for (const auto& address : service.addresses())
        if (auto text = ipv4TextFromSocketAddress(address))
            delegate->netServiceDidResolve(service.name(), *text, service.port());
}

}  // namespace lumetta::net
