#pragma once

// Finds devices on the local IPv4 network: a search listens on a TCP port, announces it in one
// UDP broadcast per interface, and turns each device's 84-byte reply into a device dictionary.

#include <functional>
#include <list>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "link/DLKNetServer.h"

namespace lumetta::link {

/// One network interface as a search sees it.
struct DLKInterface {
    std::string name;
    uint32_t address = 0;  ///< IPv4, host byte order
    uint32_t netmask = 0;  ///< host byte order
    bool loopback = false;
};

/// Lists the interfaces to announce on; nullopt when the list cannot be had.
using DLKInterfaceLister = std::function<std::optional<std::vector<DLKInterface>>()>;

/// The system's IPv4 interfaces from getifaddrs, in its order.
std::optional<std::vector<DLKInterface>> systemInterfaces();

/// Hears about found devices. Main thread.
class DLKDiscoveryDelegate {
  public:
    virtual ~DLKDiscoveryDelegate() = default;
    virtual void discoveryDeviceDidFound(const nlohmann::json& device) = 0;
};

/// Device discovery. Main thread only; idle until the first `search`, which only a page's
/// request starts. Neither copyable nor movable: its listener points at it.
class DLKDiscovery final : private DLKNetServerDelegate {
  public:
    explicit DLKDiscovery(DLKInterfaceLister interfaces = systemInterfaces);
    ~DLKDiscovery() override;
    DLKDiscovery(const DLKDiscovery&) = delete;
    DLKDiscovery& operator=(const DLKDiscovery&) = delete;

    /// Restarts the listener, forgets the devices found so far and sends one announcement to
    /// each non-loopback IPv4 interface's directed broadcast address (255.255.255.255 when the
    /// interfaces cannot be listed). False when nothing could be sent.
    bool search();

    /// Appends `device` unless one with the same "DLKDeviceUIDKey" was found in this search,
    /// and then tells the delegate.
    void addDevice(const nlohmann::json& device);

    void setDelegate(DLKDiscoveryDelegate* delegate) { delegate_ = delegate; }
    const std::vector<nlohmann::json>& devices() const { return devices_; }
    /// The listening port (0 before the first search).
    uint16_t portNo() const { return server_.portNo(); }
    /// The UDP port devices listen on; tests may move it.
    void setAnnouncePort(uint16_t port) { announcePort_ = port; }
    /// Where the last search sent its announcements (host byte order), in order.
    const std::vector<uint32_t>& lastDestinations() const { return lastDestinations_; }

    /// Replies being read at most at once; more connections are refused until some end.
    static constexpr size_t kMaxPendingReplies = 64;

  private:
    struct Reply {
        std::unique_ptr<DLKNetServer> server;
        std::array<uint8_t, 84> bytes{};
        size_t fill = 0;
    };
    void serverDidAccept(std::unique_ptr<DLKNetServer> connection) override;
    void streamEventOpenCompleted(DLKNetServer&) override {}
    void streamHasBytesAvailable(DLKNetServer& server) override;
    void streamHasSpaceAvailable(DLKNetServer&) override {}
    void streamErrorOccurred(DLKNetServer& server) override { release(server); }
    void streamEndEncountered(DLKNetServer& server) override { release(server); }
    void release(DLKNetServer& server);

    DLKInterfaceLister interfaces_;
    DLKDiscoveryDelegate* delegate_ = nullptr;
    std::vector<nlohmann::json> devices_;
    std::vector<uint32_t> lastDestinations_;
    uint16_t announcePort_;
    std::list<Reply> replies_;  // stable addresses while their servers call back
    DLKNetServer server_;
};

}  // namespace lumetta::link
