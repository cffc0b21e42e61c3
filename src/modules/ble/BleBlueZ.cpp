#include "modules/ble/BleModule.h"
#include "net/bluez/BlueZCentral.h"

namespace lumetta::modules::ble {

bridge::ModuleDescriptor descriptor() {
    return descriptor([](net::BLECentralDelegate& delegate) {
        return std::make_unique<net::BlueZCentral>(delegate);
    });
}

}  // namespace lumetta::modules::ble
