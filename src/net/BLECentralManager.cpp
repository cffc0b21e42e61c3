#include "net/BLECentralManager.h"

#include <syslog.h>

#include "bridge/BridgeError.h"
#include "bridge/BridgeText.h"
#include "bridge/Result.h"
#include "net/BLEText.h"

namespace lumetta::net {

using bridge::joinEvent;

namespace {

std::string characteristicEventAddress(const BLEPeripheralPtr& peripheral,
                                       const BLECharacteristicPtr& characteristic) {
    return eventJSON(characteristicAddress(peripheral->identifier(), characteristic->serviceUUID,
                                           characteristic->uuid));
}

/// A service or characteristic member: a UUID text, or the parser's refusal as an error.
std::string requiredUUID(const nlohmann::json& address, const char* key) {
    auto it = address.find(key);
    if (it == address.end() || !it->is_string())
        throw bridge::BridgeError(std::string("invalid UUID for ") + key);
    auto uuid = bleUUIDString(it->get<std::string>());
    if (!uuid) throw bridge::BridgeError("invalid UUID string: " + it->get<std::string>());
    return *uuid;
}

}  // namespace

BLECentralManager::BLECentralManager(CentralFactory factory, PostEvent post)
    : factory_(std::move(factory)), post_(std::move(post)) {}

BLECentralManager::~BLECentralManager() {
    disconnect(std::nullopt);
    std::unique_ptr<BLECentral> central;
    {
        std::lock_guard guard(centralLock_);
        central = std::move(centralManager_);
    }
    // Stops the queue: after this no callback reaches this object.
    central.reset();
    std::lock_guard guard(peripheralsLock_);
    peripherals_.clear();
    targetService_.clear();
    setPendingServices(std::nullopt);
}

BLECentral* BLECentralManager::central() const {
    std::lock_guard guard(centralLock_);
    return centralManager_.get();
}

void BLECentralManager::setPendingServices(std::optional<std::vector<std::string>> services) {
    std::lock_guard guard(servicesLock_);
    services_ = std::move(services);
}

std::optional<std::vector<std::string>> BLECentralManager::pendingServices() const {
    std::lock_guard guard(servicesLock_);
    return services_;
}

size_t BLECentralManager::trackedCount() const {
    std::lock_guard guard(peripheralsLock_);
    return peripherals_.size();
}

void BLECentralManager::scanForPeripheralsWithServices(
    std::optional<std::vector<std::string>> services) {
    setPendingServices(std::nullopt);
    if (!services) return;
    BLECentral* existing = nullptr;
    {
        std::lock_guard guard(centralLock_);
        if (!centralManager_) {
            // The scan starts from the state callback once the adapter is known to be on.
            setPendingServices(services);
            centralManager_ = factory_(*this);
            return;
        }
        existing = centralManager_.get();
    }
    switch (existing->state()) {
        case BLEManagerState::Unauthorized:
            post_(joinEvent({"ble", "unauthorized"}));
            break;
        case BLEManagerState::PoweredOff:
            // Kept until the adapter is switched on.
            setPendingServices(services);
            break;
        case BLEManagerState::PoweredOn:
            if (!existing->isScanning()) existing->scanForPeripherals(*services, true);
            break;
        default:
            break;
    }
}

void BLECentralManager::stopScan() {
    if (auto* c = central(); c && c->state() == BLEManagerState::PoweredOn && c->isScanning())
        c->stopScan();
    setPendingServices(std::nullopt);
}

void BLECentralManager::connect(const std::string& identifier) {
    auto* c = central();
    auto id = peripheralIdentifierString(identifier);
    if (!c || !id) return;
    auto known = c->retrievePeripherals(*id);
    if (known.empty()) return;
    auto peripheral = known.front();
    std::lock_guard guard(peripheralsLock_);
    for (auto& p : peripherals_)
        if (p == peripheral) return;
    peripherals_.push_back(peripheral);
    c->connect(peripheral);
}

void BLECentralManager::disconnect(const std::optional<std::string>& identifier) {
    auto* c = central();
    if (!c) return;
    std::optional<std::string> id;
    if (identifier) {
        id = peripheralIdentifierString(*identifier);
        if (!id) return;
    }
    std::lock_guard guard(peripheralsLock_);
    for (auto& p : peripherals_)
        if ((!id || p->identifier() == *id) && p->state() != BLEPeripheralState::Disconnected)
            c->cancelPeripheralConnection(p);
}

void BLECentralManager::discover(const std::string& identifier, const std::string& serviceUUID) {
    auto* c = central();
    auto id = peripheralIdentifierString(identifier);
    if (!c || !id) return;
    auto uuid = bleUUIDString(serviceUUID);
    if (!uuid) throw bridge::BridgeError("invalid UUID string: " + serviceUUID);
    std::lock_guard guard(peripheralsLock_);
    for (auto& p : peripherals_) {
        if (p->identifier() != *id) continue;
        targetService_[*id] = *uuid;
        c->discoverServices(p, {*uuid});
        return;
    }
}

std::optional<BLECentralManager::Resolved> BLECentralManager::characteristicWithDictionary(
    const nlohmann::json& address) {
    if (!address.is_object()) return std::nullopt;
    for (const char* key : {"BLEPeripheralKey", "BLEServiceKey", "BLECharacteristicKey"}) {
        auto it = address.find(key);
        if (it != address.end() && it->is_null()) return std::nullopt;
    }
    std::optional<std::string> id;
    if (auto it = address.find("BLEPeripheralKey"); it != address.end() && it->is_string())
        id = peripheralIdentifierString(it->get<std::string>());
    std::string service = requiredUUID(address, "BLEServiceKey");
    std::string characteristic = requiredUUID(address, "BLECharacteristicKey");
    if (!id) return std::nullopt;
    for (auto& p : peripherals_) {
        if (p->identifier() != *id || p->state() != BLEPeripheralState::Connected) continue;
        for (auto& s : p->services()) {
            if (s->uuid != service) continue;
            for (auto& ch : s->characteristics)
                if (ch->uuid == characteristic) return Resolved{p, ch};
            return std::nullopt;
        }
        return std::nullopt;
    }
    return std::nullopt;
}

std::string BLECentralManager::getProperties(const nlohmann::json& address) {
    std::lock_guard guard(peripheralsLock_);
    auto found = characteristicWithDictionary(address);
    if (!found) return "{}";
    return eventJSON(propertiesObject(found->characteristic->properties));
}

void BLECentralManager::setNotify(bool enabled, const nlohmann::json& address) {
    std::lock_guard guard(peripheralsLock_);
    if (auto found = characteristicWithDictionary(address))
        central()->setNotifyValue(found->peripheral, enabled, found->characteristic);
}

void BLECentralManager::readCharacteristic(const nlohmann::json& address) {
    std::lock_guard guard(peripheralsLock_);
    if (auto found = characteristicWithDictionary(address))
        central()->readValue(found->peripheral, found->characteristic);
}

void BLECentralManager::writeCharacteristic(const nlohmann::json& address,
                                            const std::vector<uint8_t>& data, BLEWriteType type) {
    std::lock_guard guard(peripheralsLock_);
    if (auto found = characteristicWithDictionary(address))
        central()->writeValue(found->peripheral, found->characteristic, data, type);
}

// ---- callbacks (the central's queue) ----------------------------------------------------------

void BLECentralManager::centralManagerDidUpdateState(BLEManagerState state) {
    if (state == BLEManagerState::PoweredOff || state == BLEManagerState::Resetting) {
        std::vector<std::string> events;
        {
            std::lock_guard guard(peripheralsLock_);
            for (auto& p : peripherals_)
                events.push_back(joinEvent({"ble", "disconnected", p->identifier(), p->name()}));
            peripherals_.clear();
        }
        for (auto& e : events) post_(std::move(e));
        return;
    }
    if (state == BLEManagerState::PoweredOn && pendingServices()) {
        if (auto* c = central())
            c->dispatchAfter(std::chrono::milliseconds(500),
                             [this] { scanForPeripheralsWithServices(pendingServices()); });
    }
}

void BLECentralManager::didDiscoverPeripheral(const BLEPeripheralPtr& peripheral, int rssi) {
    std::string name = peripheral->name();
    if (name.empty()) return;
    post_(joinEvent({"ble", "found", peripheral->identifier(), name, std::to_string(rssi)}));
}

void BLECentralManager::didConnectPeripheral(const BLEPeripheralPtr& peripheral) {
    post_(joinEvent({"ble", "connected", peripheral->identifier(), peripheral->name()}));
}

void BLECentralManager::didFailToConnectPeripheral(const BLEPeripheralPtr& peripheral,
                                                   const std::string& error) {
    syslog(LOG_INFO, "BLE connection to %s failed: %s", peripheral->identifier().c_str(),
           error.c_str());
    {
        std::lock_guard guard(peripheralsLock_);
        std::erase(peripherals_, peripheral);
    }
    post_(joinEvent({"ble", "connectfailed", peripheral->identifier(), peripheral->name()}));
}

void BLECentralManager::didDisconnectPeripheral(const BLEPeripheralPtr& peripheral) {
    {
        std::lock_guard guard(peripheralsLock_);
        std::erase(peripherals_, peripheral);
    }
    post_(joinEvent({"ble", "disconnected", peripheral->identifier(), peripheral->name()}));
}

void BLECentralManager::didDiscoverServices(const BLEPeripheralPtr& peripheral,
                                            const std::optional<std::string>& error) {
    if (error) {
        post_(joinEvent({"ble", "discoverfailed", peripheral->identifier(), *error}));
        return;
    }
    std::string target;
    {
        std::lock_guard guard(peripheralsLock_);
        auto it = targetService_.find(peripheral->identifier());
        if (it != targetService_.end()) target = it->second;
    }
    for (auto& s : peripheral->services()) {
        if (s->uuid != target) continue;
        if (auto* c = central()) c->discoverCharacteristics(peripheral, s);
        return;
    }
    post_(joinEvent({"ble", "discoverfailed", peripheral->identifier(), "0"}));
}

void BLECentralManager::didDiscoverCharacteristics(const BLEPeripheralPtr& peripheral,
                                                   const BLEServicePtr& service,
                                                   const std::optional<std::string>& error) {
    if (error) {
        post_(joinEvent({"ble", "discoverfailed", peripheral->identifier(), *error}));
        return;
    }
    nlohmann::json uuids = nlohmann::json::array();
    for (auto& ch : service->characteristics) uuids.push_back(ch->uuid);
    post_(joinEvent(
        {"ble", "discovered", peripheral->identifier(), service->uuid, eventJSON(uuids)}));
}

void BLECentralManager::didUpdateValue(const BLEPeripheralPtr& peripheral,
                                       const BLECharacteristicPtr& characteristic,
                                       const std::vector<uint8_t>& value,
                                       const std::optional<std::string>& error) {
    auto address = characteristicEventAddress(peripheral, characteristic);
    if (error)
        post_(joinEvent({"ble", "changed", address, "", *error}));
    else
        post_(joinEvent({"ble", "changed", address, bridge::hexStringFromBytes(value), ""}));
}

void BLECentralManager::didWriteValue(const BLEPeripheralPtr& peripheral,
                                      const BLECharacteristicPtr& characteristic,
                                      const std::optional<std::string>& error) {
    post_(joinEvent({"ble", "write", characteristicEventAddress(peripheral, characteristic),
                     error.value_or("")}));
}

}  // namespace lumetta::net
