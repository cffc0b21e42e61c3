#include "modules/ble/BleModule.h"

#include "bridge/BridgeError.h"
#include "bridge/Result.h"
#include "net/BLEText.h"

namespace lumetta::modules::ble {

using namespace lumetta::bridge;

namespace {

nlohmann::json addressArgument(const Arg& text) {
    if (!text) return nullptr;
    auto value = jsonObjectFromString(*text);
    return value ? std::move(*value) : nlohmann::json();
}

}  // namespace

std::vector<std::string> scanServices(const Arg& text) {
    std::vector<std::string> out;
    auto value = text ? jsonObjectFromString(*text) : std::nullopt;
    if (!value || !value->is_array()) return out;
    for (auto& element : *value) {
        if (!element.is_string()) throw BridgeError("invalid UUID in the service list");
        auto uuid = net::bleUUIDString(element.get<std::string>());
        if (!uuid) throw BridgeError("invalid UUID string: " + element.get<std::string>());
        out.push_back(*uuid);
    }
    return out;
}

BleModule::BleModule(ModuleContext& ctx, net::BLECentralManager::CentralFactory factory) {
    NativeCall* native = &ctx.native;
    manager_ = std::make_unique<net::BLECentralManager>(
        std::move(factory), [native](std::string event) { native->postEvent(std::move(event)); });
    auto& f = ctx.functions;
    auto* m = manager_.get();
    f.add("$$ble_scanstart::", [m](const Arg& services, const Arg&) {
        m->scanForPeripheralsWithServices(scanServices(services));
        return resultVoid();
    });
    f.add("$$ble_scanstop::", [m](const Arg&, const Arg&) {
        m->stopScan();
        return resultVoid();
    });
    f.add("$$ble_connect::", [m](const Arg& id, const Arg&) {
        if (id) m->connect(*id);
        return resultVoid();
    });
    f.add("$$ble_disconnect::", [m](const Arg& id, const Arg&) {
        m->disconnect(id);
        return resultVoid();
    });
    f.add("$$ble_discover::", [m](const Arg& id, const Arg& service) {
        if (!service) throw BridgeError("invalid UUID string: (null)");
        if (id) m->discover(*id, *service);
        return resultVoid();
    });
    f.add("$$ble_properties::", [m](const Arg& address, const Arg&) {
        return resultString(m->getProperties(addressArgument(address)));
    });
    f.add("$$ble_notify::", [m](const Arg& address, const Arg& flag) {
        m->setNotify(boolValue(flag), addressArgument(address));
        return resultVoid();
    });
    f.add("$$ble_read::", [m](const Arg& address, const Arg&) {
        m->readCharacteristic(addressArgument(address));
        return resultVoid();
    });
    f.add("$$ble_write::", [m](const Arg& address, const Arg& hex) {
        m->writeCharacteristic(addressArgument(address), dataFromHexString(hex.value_or("")),
                               net::BLEWriteType::WithResponse);
        return resultVoid();
    });
    f.add("$$ble_writewithoutresponse::", [m](const Arg& address, const Arg& hex) {
        m->writeCharacteristic(addressArgument(address), dataFromHexString(hex.value_or("")),
                               net::BLEWriteType::WithoutResponse);
        return resultVoid();
    });
}

BleModule::~BleModule() {
    manager_.reset();
}

ModuleDescriptor descriptor(net::BLECentralManager::CentralFactory factory) {
    // Torn down first of all modules.
    return {"ble", 10,
            [factory](ModuleContext& ctx) { return std::make_unique<BleModule>(ctx, factory); }};
}

}  // namespace lumetta::modules::ble
