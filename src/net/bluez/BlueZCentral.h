#pragma once

#include <gio/gio.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/raii/DBusSubscription.h"
#include "base/raii/GObjectPtr.h"
#include "net/BLECentral.h"

namespace lumetta::net {

/// The Bluetooth LE central on BlueZ over D-Bus: org.bluez.Adapter1 for the state and
/// scanning, Device1 for connections, GattService1 and GattCharacteristic1 for discovery,
/// reads, writes and notifications.
///
/// Its queue is a thread of its own running a private main context with a private connection
/// to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set); every callback runs there. States:
/// no system bus: unsupported; access to BlueZ refused: unauthorized; BlueZ absent (or gone
/// from the bus) or no adapter: powered off; otherwise the first adapter's Powered property.
class BlueZCentral final : public BLECentral {
  public:
    /// Starts the queue; the first state arrives through `delegate` (not owned, outlives this).
    explicit BlueZCentral(BLECentralDelegate& delegate);
    /// Sends what was asked before, then stops the queue and closes the connection.
    ~BlueZCentral() override;
    BlueZCentral(const BlueZCentral&) = delete;
    BlueZCentral& operator=(const BlueZCentral&) = delete;

    BLEManagerState state() const override { return state_.load(); }
    bool isScanning() const override { return scanning_.load(); }
    void scanForPeripherals(const std::vector<std::string>& services,
                            bool allowDuplicates) override;
    void stopScan() override;
    std::vector<BLEPeripheralPtr> retrievePeripherals(const std::string& identifier) override;
    void connect(const BLEPeripheralPtr& peripheral) override;
    void cancelPeripheralConnection(const BLEPeripheralPtr& peripheral) override;
    void discoverServices(const BLEPeripheralPtr& peripheral,
                          const std::vector<std::string>& uuids) override;
    void discoverCharacteristics(const BLEPeripheralPtr& peripheral,
                                 const BLEServicePtr& service) override;
    void readValue(const BLEPeripheralPtr& peripheral,
                   const BLECharacteristicPtr& characteristic) override;
    void writeValue(const BLEPeripheralPtr& peripheral, const BLECharacteristicPtr& characteristic,
                    const std::vector<uint8_t>& value, BLEWriteType type) override;
    void setNotifyValue(const BLEPeripheralPtr& peripheral, bool enabled,
                        const BLECharacteristicPtr& characteristic) override;
    void dispatchAfter(std::chrono::milliseconds delay, std::function<void()> task) override;

  private:
    struct VariantUnref {
        void operator()(GVariant* v) const {
            if (v) g_variant_unref(v);
        }
    };
    using Variant = std::unique_ptr<GVariant, VariantUnref>;
    using Properties = std::map<std::string, Variant>;
    using Interfaces = std::map<std::string, Properties>;
    using Reply = std::function<void(GVariant* result, GError* error)>;

    // Everything below runs on the queue.
    void run();
    void start();
    void post(std::function<void()> task);
    void call(const std::string& path, const char* interface, const char* method,
              GVariant* parameters, Reply done, int timeoutMs = -1);
    void bluezAppeared();
    void bluezVanished();
    void loadObjects();
    void onSignal(const char* sender, const char* path, const char* interface, const char* signal,
                  GVariant* parameters);
    void addInterfaces(const std::string& path, GVariant* interfaces);
    void removeInterfaces(const std::string& path, GVariant* names);
    void changeProperties(const std::string& path, const std::string& interface, GVariant* changed,
                          GVariant* invalidated);
    void deviceUpdated(const std::string& path, const std::set<std::string>& changed);
    void deviceRemoved(const std::string& path);
    BLEPeripheralPtr ensurePeripheral(const std::string& path);
    BLEPeripheralPtr peripheralAt(const std::string& path);
    void updateState();
    BLEManagerState computeState() const;
    void dropConnections();
    void completeDiscovery(const BLEPeripheralPtr& peripheral);
    void characteristicValueChanged(const std::string& path, GVariant* value);
    GVariant* property(const std::string& path, const char* interface, const char* name) const;
    std::string firstAdapter() const;
    void setPeripheralGone(const BLEPeripheralPtr& peripheral, const char* reason);

    /// Calls the delegate, keeping exceptions on this side.
    template <class F>
    void tell(F&& f);

    BLECentralDelegate& delegate_;
    std::atomic<BLEManagerState> state_{BLEManagerState::Unknown};
    std::atomic<bool> scanning_{false};

    mutable std::mutex registryLock_;
    std::map<std::string, BLEPeripheralPtr> byIdentifier_;  // guarded by registryLock_

    // Queue only.
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    raii::GObjectPtr<GCancellable> cancellable_;
    raii::GObjectPtr<GDBusConnection> bus_;
    std::vector<raii::DBusSubscription> subscriptions_;
    guint nameWatch_ = 0;
    bool busFailed_ = false;
    bool present_ = false;
    bool loaded_ = false;
    bool accessDenied_ = false;
    std::map<std::string, Interfaces> objects_;
    std::map<std::string, BLEPeripheralPtr> byPath_;
    std::map<std::string, std::vector<std::string>> pendingDiscovery_;  // device path -> UUIDs
    std::set<std::string> notifying_;                                   // characteristic paths
    std::vector<std::string> scanFilter_;

    std::thread thread_;  // last: stops before what it uses goes
};

}  // namespace lumetta::net
