#pragma once

// The Bluetooth LE central as the manager uses it: the platform's central, its peripherals,
// their services and characteristics. Implemented on BlueZ (net/bluez) and by a double in the
// tests. No Bluetooth stack headers here.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace lumetta::net {

/// The central's states (the platform numbering the page knows).
enum class BLEManagerState : int {
    Unknown = 0,
    Resetting = 1,
    Unsupported = 2,
    Unauthorized = 3,
    PoweredOff = 4,
    PoweredOn = 5,
};

/// A peripheral's connection states.
enum class BLEPeripheralState : int {
    Disconnected = 0,
    Connecting = 1,
    Connected = 2,
    Disconnecting = 3,
};

/// A discovered characteristic; immutable.
struct BLECharacteristic {
    std::string uuid;         ///< event form (see bleUUIDString)
    std::string serviceUUID;  ///< event form of its service's UUID
    uint32_t properties = 0;  ///< Bluetooth Core property bits
    std::string handle;       ///< the platform's name for it
};

/// A discovered service with the characteristics discovered so far; immutable (discovery
/// replaces it).
struct BLEService {
    std::string uuid;
    std::string handle;
    std::vector<std::shared_ptr<const BLECharacteristic>> characteristics;
};

/// A remote peripheral. The platform creates it and updates it on the central's queue; any
/// thread may read it.
class BLEPeripheral {
  public:
    explicit BLEPeripheral(std::string identifier) : identifier_(std::move(identifier)) {}

    /// Upper-case 8-4-4-4-12 identifier; fixed.
    const std::string& identifier() const { return identifier_; }

    std::string name() const {
        std::lock_guard guard(lock_);
        return name_;
    }
    void setName(std::string name) {
        std::lock_guard guard(lock_);
        name_ = std::move(name);
    }

    BLEPeripheralState state() const { return state_.load(); }
    void setState(BLEPeripheralState state) { state_.store(state); }

    /// The services discovered so far, in discovery order.
    std::vector<std::shared_ptr<const BLEService>> services() const {
        std::lock_guard guard(lock_);
        return services_;
    }
    void setServices(std::vector<std::shared_ptr<const BLEService>> services) {
        std::lock_guard guard(lock_);
        services_ = std::move(services);
    }

  private:
    const std::string identifier_;
    std::atomic<BLEPeripheralState> state_{BLEPeripheralState::Disconnected};
    mutable std::mutex lock_;
    std::string name_;
    std::vector<std::shared_ptr<const BLEService>> services_;
};

using BLEPeripheralPtr = std::shared_ptr<BLEPeripheral>;
using BLEServicePtr = std::shared_ptr<const BLEService>;
using BLECharacteristicPtr = std::shared_ptr<const BLECharacteristic>;

/// The central's reports. Every call arrives on the central's queue (its own thread), one at a
/// time; an absent error means success, a present one is its description.
class BLECentralDelegate {
  public:
    virtual ~BLECentralDelegate() = default;
    virtual void centralManagerDidUpdateState(BLEManagerState state) = 0;
    /// An advertisement was received while scanning.
    virtual void didDiscoverPeripheral(const BLEPeripheralPtr& peripheral, int rssi) = 0;
    virtual void didConnectPeripheral(const BLEPeripheralPtr& peripheral) = 0;
    virtual void didFailToConnectPeripheral(const BLEPeripheralPtr& peripheral,
                                            const std::string& error) = 0;
    virtual void didDisconnectPeripheral(const BLEPeripheralPtr& peripheral) = 0;
    virtual void didDiscoverServices(const BLEPeripheralPtr& peripheral,
                                     const std::optional<std::string>& error) = 0;
    virtual void didDiscoverCharacteristics(const BLEPeripheralPtr& peripheral,
                                            const BLEServicePtr& service,
                                            const std::optional<std::string>& error) = 0;
    /// A read completed or a notification arrived.
    virtual void didUpdateValue(const BLEPeripheralPtr& peripheral,
                                const BLECharacteristicPtr& characteristic,
                                const std::vector<uint8_t>& value,
                                const std::optional<std::string>& error) = 0;
    /// A write with response completed.
    virtual void didWriteValue(const BLEPeripheralPtr& peripheral,
                               const BLECharacteristicPtr& characteristic,
                               const std::optional<std::string>& error) = 0;
};

/// Write types.
enum class BLEWriteType : int { WithResponse = 0, WithoutResponse = 1 };

/// The platform's central. Every operation may be called from any thread and returns at once;
/// outcomes arrive later through the delegate, on the queue. Destroying it stops the queue:
/// no callback runs after the destructor returns.
class BLECentral {
  public:
    virtual ~BLECentral() = default;

    virtual BLEManagerState state() const = 0;
    virtual bool isScanning() const = 0;
    /// Scans for peripherals advertising any of `services` (event-form UUIDs; empty: all).
    virtual void scanForPeripherals(const std::vector<std::string>& services,
                                    bool allowDuplicates) = 0;
    virtual void stopScan() = 0;
    /// The known peripherals with this identifier (at most one here).
    virtual std::vector<BLEPeripheralPtr> retrievePeripherals(const std::string& identifier) = 0;
    virtual void connect(const BLEPeripheralPtr& peripheral) = 0;
    virtual void cancelPeripheralConnection(const BLEPeripheralPtr& peripheral) = 0;
    /// Discovers the peripheral's services with these UUIDs.
    virtual void discoverServices(const BLEPeripheralPtr& peripheral,
                                  const std::vector<std::string>& uuids) = 0;
    /// Discovers every characteristic of a discovered service.
    virtual void discoverCharacteristics(const BLEPeripheralPtr& peripheral,
                                         const BLEServicePtr& service) = 0;
    virtual void readValue(const BLEPeripheralPtr& peripheral,
                           const BLECharacteristicPtr& characteristic) = 0;
    virtual void writeValue(const BLEPeripheralPtr& peripheral,
                            const BLECharacteristicPtr& characteristic,
                            const std::vector<uint8_t>& value, BLEWriteType type) = 0;
    virtual void setNotifyValue(const BLEPeripheralPtr& peripheral, bool enabled,
                                const BLECharacteristicPtr& characteristic) = 0;
    /// Runs `task` on the queue after `delay`.
    virtual void dispatchAfter(std::chrono::milliseconds delay, std::function<void()> task) = 0;
};

}  // namespace lumetta::net
