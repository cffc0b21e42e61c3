#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "net/BLECentral.h"

namespace lumetta::net {

/// The page's Bluetooth LE central: scanning, connections, discovery of one service per
/// peripheral, reads, writes and notifications, reported as "ble" events.
///
/// Operations are called on the bridge's threads; the central's callbacks arrive on its queue.
/// The tracked-peripheral list is the lock of the module.
class BLECentralManager final : public BLECentralDelegate {
  public:
    /// Makes the platform central with its delegate; called once, by the first scan request.
    using CentralFactory = std::function<std::unique_ptr<BLECentral>(BLECentralDelegate&)>;
    /// Hands an event to the bridge's queue; any thread.
    using PostEvent = std::function<void(std::string)>;

    BLECentralManager(CentralFactory factory, PostEvent post);
    /// Disconnects every tracked peripheral and stops the central's queue.
    ~BLECentralManager() override;
    BLECentralManager(const BLECentralManager&) = delete;
    BLECentralManager& operator=(const BLECentralManager&) = delete;

    /// Starts (or arranges) a scan for these service UUIDs; nullopt does nothing.
    void scanForPeripheralsWithServices(std::optional<std::vector<std::string>> services);
    void stopScan();
    void connect(const std::string& identifier);
    /// Cancels the connection of the tracked peripheral(s); all of them for nullopt.
    void disconnect(const std::optional<std::string>& identifier);
    void discover(const std::string& identifier, const std::string& serviceUUID);
    /// The properties JSON of an addressed characteristic, or "{}".
    std::string getProperties(const nlohmann::json& address);
    void setNotify(bool enabled, const nlohmann::json& address);
    void readCharacteristic(const nlohmann::json& address);
    void writeCharacteristic(const nlohmann::json& address, const std::vector<uint8_t>& data,
                             BLEWriteType type);

    /// The scan filter waiting for power-on, or nullopt.
    std::optional<std::vector<std::string>> pendingServices() const;
    /// Number of tracked peripherals.
    size_t trackedCount() const;

    // BLECentralDelegate: the queue.
    void centralManagerDidUpdateState(BLEManagerState state) override;
    void didDiscoverPeripheral(const BLEPeripheralPtr& peripheral, int rssi) override;
    void didConnectPeripheral(const BLEPeripheralPtr& peripheral) override;
    void didFailToConnectPeripheral(const BLEPeripheralPtr& peripheral,
                                    const std::string& error) override;
    void didDisconnectPeripheral(const BLEPeripheralPtr& peripheral) override;
    void didDiscoverServices(const BLEPeripheralPtr& peripheral,
                             const std::optional<std::string>& error) override;
    void didDiscoverCharacteristics(const BLEPeripheralPtr& peripheral,
                                    const BLEServicePtr& service,
                                    const std::optional<std::string>& error) override;
    void didUpdateValue(const BLEPeripheralPtr& peripheral,
                        const BLECharacteristicPtr& characteristic,
                        const std::vector<uint8_t>& value,
                        const std::optional<std::string>& error) override;
    void didWriteValue(const BLEPeripheralPtr& peripheral,
                       const BLECharacteristicPtr& characteristic,
                       const std::optional<std::string>& error) override;

  private:
    struct Resolved {
        BLEPeripheralPtr peripheral;
        BLECharacteristicPtr characteristic;
    };
    /// Resolves a characteristic address; the caller holds `peripheralsLock_`. Throws
    /// BridgeError for a service or characteristic UUID text that is not a UUID.
    std::optional<Resolved> characteristicWithDictionary(const nlohmann::json& address);
    void setPendingServices(std::optional<std::vector<std::string>> services);
    BLECentral* central() const;

    CentralFactory factory_;
    PostEvent post_;
    mutable std::mutex servicesLock_;
    std::optional<std::vector<std::string>> services_;  // guarded by servicesLock_
    mutable std::mutex centralLock_;
    std::unique_ptr<BLECentral> centralManager_;  // created once under centralLock_
    mutable std::mutex peripheralsLock_;
    std::vector<BLEPeripheralPtr> peripherals_;         // guarded by peripheralsLock_
    std::map<std::string, std::string> targetService_;  // guarded by peripheralsLock_
};

}  // namespace lumetta::net
