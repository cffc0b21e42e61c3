#include "link/DLKDiscovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>
#include <syslog.h>

#include "base/raii/UniqueFd.h"
#include "link/DLKDescription.h"

namespace lumetta::link {

std::optional<std::vector<DLKInterface>> systemInterfaces() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return std::nullopt;
    std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, ::freeifaddrs);
    std::vector<DLKInterface> result;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_netmask) continue;
        DLKInterface entry;
        entry.name = i->ifa_name ? i->ifa_name : "";
        entry.address = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        entry.netmask =
            ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
        entry.loopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
        result.push_back(std::move(entry));
    }
    return result;
}

DLKDiscovery::DLKDiscovery(DLKInterfaceLister interfaces)
    : interfaces_(std::move(interfaces)), announcePort_(kDLKDiscoveryPort) {
    server_.setMulticlient(true);
    server_.setDelegate(this);
}

DLKDiscovery::~DLKDiscovery() {
    server_.setDelegate(nullptr);
    server_.stopServer();
    replies_.clear();
}

bool DLKDiscovery::search() {
    server_.stopServer();
    devices_.clear();
    lastDestinations_.clear();
    if (!server_.startServer() || server_.portNo() == 0) {
        syslog(LOG_WARNING, "DLKDiscovery: no listening port; the search sends nothing");
        return false;
    }
    const auto announcement = makeAnnouncement(server_.portNo());

    raii::UniqueFd udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    int on = 1;
    if (!udp || ::setsockopt(udp.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        syslog(LOG_WARNING, "DLKDiscovery: cannot broadcast");
        return false;
    }
    auto sendTo = [&](uint32_t address) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(announcePort_);
        to.sin_addr.s_addr = htonl(address);
        lastDestinations_.push_back(address);
        return ::sendto(udp.get(), announcement.data(), announcement.size(), MSG_DONTWAIT,
                        reinterpret_cast<sockaddr*>(&to),
                        sizeof to) == static_cast<ssize_t>(announcement.size());
    };
    bool sent = false;
    if (auto list = interfaces_ ? interfaces_() : std::nullopt) {
        for (const auto& i : *list)
            if (!i.loopback) sent |= sendTo(directedBroadcast(i.address, i.netmask));
    } else {
        sent = sendTo(INADDR_BROADCAST);
    }
    return sent;
}

void DLKDiscovery::addDevice(const nlohmann::json& device) {
    auto uid = device.find(kDLKDeviceUIDKey);
    if (uid == device.end()) return;
    for (const auto& known : devices_)
        if (known.value(kDLKDeviceUIDKey, nlohmann::json()) == *uid) return;
    devices_.push_back(device);
    if (delegate_) delegate_->discoveryDeviceDidFound(device);
}

void DLKDiscovery::serverDidAccept(std::unique_ptr<DLKNetServer> connection) {
    if (replies_.size() >= kMaxPendingReplies) return;  // dropping it closes the connection
    connection->setDelegate(this);
    replies_.push_back(Reply{std::move(connection)});
}

void DLKDiscovery::streamHasBytesAvailable(DLKNetServer& server) {
    auto reply = std::find_if(replies_.begin(), replies_.end(),
                              [&](const Reply& r) { return r.server.get() == &server; });
    if (reply == replies_.end()) return;
    // A description is read whole even when the network hands it over in pieces.
    ssize_t n = server.read(reply->bytes.data() + reply->fill, reply->bytes.size() - reply->fill);
    if (n == DLKNetServer::kWouldBlock) return;
    if (n <= 0) return release(server);
    reply->fill += static_cast<size_t>(n);
    if (reply->fill < reply->bytes.size()) return;
    uint32_t peer = 0;
    if (const auto& address = server.clientAddress()) peer = ntohl(address->sin_addr.s_addr);
    auto description = parseDescription(reply->bytes.data(), reply->fill, peer);
    release(server);
    if (description) addDevice(deviceDictionary(*description, peer));
}

void DLKDiscovery::release(DLKNetServer& server) {
    replies_.remove_if([&](const Reply& r) { return r.server.get() == &server; });
}

}  // namespace lumetta::link
