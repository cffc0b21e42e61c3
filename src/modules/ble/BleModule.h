#pragma once

#include <memory>

#include "bridge/Module.h"
#include "bridge/NativeCall.h"
#include "net/BLECentralManager.h"

namespace lumetta::modules::ble {

/// The `ble` module: owns the Bluetooth LE manager and registers the ten `$$ble_*` functions.
/// Functions run on the calling channel's thread; events come from the manager's queue.
class BleModule final : public bridge::Module {
  public:
    BleModule(bridge::ModuleContext& ctx, net::BLECentralManager::CentralFactory factory);
    /// Disconnects every peripheral and stops the manager's queue.
    ~BleModule() override;

    net::BLECentralManager& manager() { return *manager_; }

  private:
    std::unique_ptr<net::BLECentralManager> manager_;
};

/// The service list of `$$ble_scanstart::`: the array's UUID texts, empty for anything that is
/// not a JSON array. Throws BridgeError for an element that is not a UUID.
std::vector<std::string> scanServices(const bridge::Arg& text);

/// The module on BlueZ.
bridge::ModuleDescriptor descriptor();
/// The module on another central (tests).
bridge::ModuleDescriptor descriptor(net::BLECentralManager::CentralFactory factory);

}  // namespace lumetta::modules::ble
