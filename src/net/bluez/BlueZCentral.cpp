#include "net/bluez/BlueZCentral.h"

#include <syslog.h>

#include <algorithm>
#include <exception>

#include "base/AsciiText.h"
#include "base/raii/GCharPtr.h"
#include "base/raii/GErrorPtr.h"
#include "net/BLEText.h"

namespace lumetta::net {

namespace {

constexpr const char* kBlueZ = "org.bluez";
constexpr const char* kAdapter = "org.bluez.Adapter1";
constexpr const char* kDevice = "org.bluez.Device1";
constexpr const char* kService = "org.bluez.GattService1";
constexpr const char* kCharacteristic = "org.bluez.GattCharacteristic1";
constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
constexpr int kConnectTimeoutMs = 60000;

/// The error's own message, without GDBus's "GDBus.Error:name: " prefix.
std::string errorText(GError* error) {
    if (!error) return "Unknown error";
    if (g_dbus_error_is_remote_error(error)) {
        raii::GErrorPtr copy(g_error_copy(error));
        g_dbus_error_strip_remote_error(copy.get());
        std::string text = copy->message ? copy->message : "";
        if (!text.empty()) return text;
    }
    return error->message ? error->message : "Unknown error";
}

bool isAccessDenied(GError* error) {
    if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_ACCESS_DENIED)) return true;
    raii::GCharPtr name(g_dbus_error_get_remote_error(error));
    return name && (std::string(name.get()) == "org.freedesktop.DBus.Error.AccessDenied" ||
                    std::string(name.get()) == "org.bluez.Error.NotAuthorized");
}

/// BlueZ's 128-bit lower-case form of an event-form UUID.
std::string bluezUUID(const std::string& uuid) {
    return base::asciiLower(uuid.size() == 4 ? "0000" + uuid + "-0000-1000-8000-00805F9B34FB"
                                             : uuid);
}

std::string parentPath(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

std::vector<uint8_t> bytesOf(GVariant* value) {
    std::vector<uint8_t> out;
    if (!value || !g_variant_is_of_type(value, G_VARIANT_TYPE_BYTESTRING)) return out;
    gsize size = 0;
    const auto* data =
        static_cast<const uint8_t*>(g_variant_get_fixed_array(value, &size, sizeof(uint8_t)));
    if (data) out.assign(data, data + size);
    return out;
}

std::string stringOf(GVariant* value) {
    if (!value) return {};
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING) ||
        g_variant_is_of_type(value, G_VARIANT_TYPE_OBJECT_PATH))
        return g_variant_get_string(value, nullptr);
    return {};
}

std::vector<std::string> stringsOf(GVariant* value) {
    std::vector<std::string> out;
    if (!value || !g_variant_is_of_type(value, G_VARIANT_TYPE_STRING_ARRAY)) return out;
    gsize count = 0;
    raii::GMemoryPtr<const gchar*> list(g_variant_get_strv(value, &count));
    for (gsize i = 0; i < count; ++i) out.emplace_back(list.get()[i]);
    return out;
}

bool boolOf(GVariant* value) {
    return value && g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) &&
           g_variant_get_boolean(value);
}

}  // namespace

template <class F>
void BlueZCentral::tell(F&& f) {
    try {
        f(delegate_);
    } catch (const std::exception& e) {
        syslog(LOG_ERR, "BLE callback failed: %s", e.what());
    } catch (...) {
        syslog(LOG_ERR, "BLE callback failed");
    }
}

BlueZCentral::BlueZCentral(BLECentralDelegate& delegate) : delegate_(delegate) {
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    cancellable_ = raii::adopt(g_cancellable_new());
    thread_ = std::thread([this] { run(); });
}

BlueZCentral::~BlueZCentral() {
    // Queued after every request made so far, so those go out before the loop ends.
    post([this] { g_main_loop_quit(loop_); });
    thread_.join();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
}

void BlueZCentral::run() {
    g_main_context_push_thread_default(context_);
    try {
        start();
    } catch (const std::exception& e) {
        syslog(LOG_ERR, "BLE start failed: %s", e.what());
    }
    g_main_loop_run(loop_);

    // Pending replies see the cancellation and end without reaching the delegate.
    g_cancellable_cancel(cancellable_.get());
    if (nameWatch_) g_bus_unwatch_name(nameWatch_);
    if (bus_) {
        subscriptions_.clear();
        g_dbus_connection_flush_sync(bus_.get(), nullptr, nullptr);
    }
    while (g_main_context_iteration(context_, FALSE)) {
    }
    if (bus_) {
        g_dbus_connection_close_sync(bus_.get(), nullptr, nullptr);
        bus_.reset();
    }
    while (g_main_context_iteration(context_, FALSE)) {
    }
    g_main_context_pop_thread_default(context_);
}

namespace {

// A task handed to the BLE context: run once there, any exception logged, freed by GLib.
gboolean runTask(gpointer data) {
    try {
        (*static_cast<std::function<void()>*>(data))();
    } catch (const std::exception& e) {
        syslog(LOG_ERR, "BLE task failed: %s", e.what());
    }
    return G_SOURCE_REMOVE;
}

void deleteTask(gpointer data) {
    delete static_cast<std::function<void()>*>(data);
}

}  // namespace

void BlueZCentral::post(std::function<void()> task) {
    auto* owned = new std::function<void()>(std::move(task));  // freed by the destroy notify
    g_main_context_invoke_full(context_, G_PRIORITY_DEFAULT, runTask, owned, deleteTask);
}

void BlueZCentral::dispatchAfter(std::chrono::milliseconds delay, std::function<void()> task) {
    auto* owned = new std::function<void()>(std::move(task));
    GSource* source = g_timeout_source_new(static_cast<guint>(delay.count()));
    g_source_set_callback(source, runTask, owned, deleteTask);
    g_source_attach(source, context_);
    g_source_unref(source);
}

void BlueZCentral::start() {
    GError* raw = nullptr;
    raii::GCharPtr address(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &raw));
    if (address) {
        bus_ = raii::adopt(g_dbus_connection_new_for_address_sync(
            address.get(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &raw));
    }
    raii::GErrorPtr error(raw);
    if (!bus_) {
        syslog(LOG_WARNING, "BLE: no system bus: %s", error ? error->message : "");
        busFailed_ = true;
        updateState();
        return;
    }
    g_dbus_connection_set_exit_on_close(bus_.get(), FALSE);

    auto onSignal = [](GDBusConnection*, const gchar* sender, const gchar* path,
                       const gchar* interface, const gchar* signal, GVariant* parameters,
                       gpointer self) {
        try {
            static_cast<BlueZCentral*>(self)->onSignal(sender, path, interface, signal, parameters);
        } catch (const std::exception& e) {
            syslog(LOG_ERR, "BLE signal failed: %s", e.what());
        }
    };
    subscriptions_.emplace_back(
        bus_.get(), g_dbus_connection_signal_subscribe(bus_.get(), kBlueZ, kObjectManager, nullptr,
                                                       nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                       onSignal, this, nullptr));
    subscriptions_.emplace_back(
        bus_.get(), g_dbus_connection_signal_subscribe(
                        bus_.get(), kBlueZ, kProperties, "PropertiesChanged", nullptr, nullptr,
                        G_DBUS_SIGNAL_FLAGS_NONE, onSignal, this, nullptr));

    nameWatch_ = g_bus_watch_name_on_connection(
        bus_.get(), kBlueZ, G_BUS_NAME_WATCHER_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, gpointer self) {
            static_cast<BlueZCentral*>(self)->bluezAppeared();
        },
        [](GDBusConnection*, const gchar*, gpointer self) {
            static_cast<BlueZCentral*>(self)->bluezVanished();
        },
        this, nullptr);
}

void BlueZCentral::call(const std::string& path, const char* interface, const char* method,
                        GVariant* parameters, Reply done, int timeoutMs) {
    if (!bus_) {
        if (parameters) g_variant_unref(g_variant_ref_sink(parameters));
        raii::GErrorPtr error(g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_CONNECTED,
                                                  "Not connected to the system bus"));
        done(nullptr, error.get());
        return;
    }
    struct Pending {
        BlueZCentral* self;
        Reply done;
    };
    auto* pending = new Pending{this, std::move(done)};
    g_dbus_connection_call(
        bus_.get(), kBlueZ, path.c_str(), interface, method, parameters, nullptr,
        G_DBUS_CALL_FLAGS_NONE, timeoutMs, cancellable_.get(),
        [](GObject* source, GAsyncResult* asyncResult, gpointer data) {
            std::unique_ptr<Pending> owned(static_cast<Pending*>(data));
            GError* raw = nullptr;
            GVariant* reply =
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), asyncResult, &raw);
            raii::GErrorPtr error(raw);
            Variant result(reply);
            if (error && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) return;
            try {
                owned->done(reply, error.get());
            } catch (const std::exception& e) {
                syslog(LOG_ERR, "BLE reply failed: %s", e.what());
            }
        },
        pending);
}

// ---- presence and objects ----------------------------------------------------------------------

void BlueZCentral::bluezAppeared() {
    present_ = true;
    accessDenied_ = false;
    loadObjects();
}

void BlueZCentral::bluezVanished() {
    // Straight to powered off rather than through resetting: a scan the page asks for while
    // BlueZ is away then waits for its return instead of being dropped.
    present_ = false;
    loaded_ = false;
    updateState();
    objects_.clear();
    pendingDiscovery_.clear();
    notifying_.clear();
    byPath_.clear();
    std::lock_guard guard(registryLock_);
    byIdentifier_.clear();
}

void BlueZCentral::loadObjects() {
    call("/", kObjectManager, "GetManagedObjects", nullptr, [this](GVariant* reply, GError* error) {
        if (error) {
            syslog(LOG_WARNING, "BLE: cannot read BlueZ objects: %s", error->message);
            accessDenied_ = isAccessDenied(error);
            updateState();
            return;
        }
        objects_.clear();
        GVariant* objects = g_variant_get_child_value(reply, 0);
        GVariantIter iter;
        g_variant_iter_init(&iter, objects);
        const gchar* path = nullptr;
        GVariant* interfaces = nullptr;
        while (g_variant_iter_next(&iter, "{&o@a{sa{sv}}}", &path, &interfaces)) {
            addInterfaces(path, interfaces);
            g_variant_unref(interfaces);
        }
        g_variant_unref(objects);
        loaded_ = true;
        for (auto& [p, ifaces] : objects_)
            if (ifaces.count(kDevice)) ensurePeripheral(p);
        updateState();
    });
}

void BlueZCentral::onSignal(const char*, const char* path, const char* interface,
                            const char* signal, GVariant* parameters) {
    if (!loaded_) return;  // the object list read after the name appeared has it all
    std::string name = signal;
    if (std::string(interface) == kObjectManager && name == "InterfacesAdded") {
        const gchar* object = nullptr;
        GVariant* interfaces = nullptr;
        g_variant_get(parameters, "(&o@a{sa{sv}})", &object, &interfaces);
        std::string objectPath = object;
        GVariant* deviceProperties = g_variant_lookup_value(interfaces, kDevice, nullptr);
        bool device = deviceProperties != nullptr;
        if (deviceProperties) g_variant_unref(deviceProperties);
        addInterfaces(objectPath, interfaces);
        g_variant_unref(interfaces);
        if (device) {
            std::set<std::string> changed;
            for (auto& [key, value] : objects_[objectPath][kDevice]) changed.insert(key);
            deviceUpdated(objectPath, changed);
        }
        updateState();
    } else if (std::string(interface) == kObjectManager && name == "InterfacesRemoved") {
        const gchar* object = nullptr;
        GVariant* names = nullptr;
        g_variant_get(parameters, "(&o@as)", &object, &names);
        removeInterfaces(object, names);
        g_variant_unref(names);
        updateState();
    } else if (std::string(interface) == kProperties && name == "PropertiesChanged") {
        const gchar* changedInterface = nullptr;
        GVariant* changed = nullptr;
        GVariant* invalidated = nullptr;
        g_variant_get(parameters, "(&s@a{sv}@as)", &changedInterface, &changed, &invalidated);
        changeProperties(path, changedInterface, changed, invalidated);
        g_variant_unref(changed);
        g_variant_unref(invalidated);
    }
}

void BlueZCentral::addInterfaces(const std::string& path, GVariant* interfaces) {
    GVariantIter iter;
    g_variant_iter_init(&iter, interfaces);
    const gchar* interface = nullptr;
    GVariant* properties = nullptr;
    while (g_variant_iter_next(&iter, "{&s@a{sv}}", &interface, &properties)) {
        auto& slot = objects_[path][interface];
        GVariantIter props;
        g_variant_iter_init(&props, properties);
        const gchar* key = nullptr;
        GVariant* value = nullptr;
        while (g_variant_iter_next(&props, "{&sv}", &key, &value)) slot[key] = Variant(value);
        g_variant_unref(properties);
    }
}

void BlueZCentral::removeInterfaces(const std::string& path, GVariant* names) {
    auto it = objects_.find(path);
    if (it == objects_.end()) return;
    bool device = false;
    for (const auto& name : stringsOf(names)) {
        if (name == kDevice) device = true;
        it->second.erase(name);
    }
    if (device) deviceRemoved(path);
    if (it->second.empty()) objects_.erase(it);
    notifying_.erase(path);
}

void BlueZCentral::changeProperties(const std::string& path, const std::string& interface,
                                    GVariant* changed, GVariant* invalidated) {
    auto objectIt = objects_.find(path);
    if (objectIt == objects_.end()) return;
    auto ifaceIt = objectIt->second.find(interface);
    if (ifaceIt == objectIt->second.end()) return;
    std::set<std::string> keys;
    GVariantIter iter;
    g_variant_iter_init(&iter, changed);
    const gchar* key = nullptr;
    GVariant* value = nullptr;
    while (g_variant_iter_next(&iter, "{&sv}", &key, &value)) {
        keys.insert(key);
        ifaceIt->second[key] = Variant(value);
    }
    for (const auto& gone : stringsOf(invalidated)) ifaceIt->second.erase(gone);

    if (interface == kAdapter) {
        updateState();
    } else if (interface == kDevice) {
        deviceUpdated(path, keys);
    } else if (interface == kCharacteristic && keys.count("Value")) {
        characteristicValueChanged(path, property(path, kCharacteristic, "Value"));
    }
}

GVariant* BlueZCentral::property(const std::string& path, const char* interface,
                                 const char* name) const {
    auto o = objects_.find(path);
    if (o == objects_.end()) return nullptr;
    auto i = o->second.find(interface);
    if (i == o->second.end()) return nullptr;
    auto p = i->second.find(name);
    return p == i->second.end() ? nullptr : p->second.get();
}

std::string BlueZCentral::firstAdapter() const {
    for (auto& [path, interfaces] : objects_)
        if (interfaces.count(kAdapter)) return path;
    return {};
}

// ---- state -------------------------------------------------------------------------------------

BLEManagerState BlueZCentral::computeState() const {
    if (busFailed_) return BLEManagerState::Unsupported;
    if (accessDenied_) return BLEManagerState::Unauthorized;
    if (!present_ || !loaded_) return BLEManagerState::PoweredOff;
    std::string adapter = firstAdapter();
    if (adapter.empty()) return BLEManagerState::PoweredOff;
    return boolOf(property(adapter, kAdapter, "Powered")) ? BLEManagerState::PoweredOn
                                                          : BLEManagerState::PoweredOff;
}

void BlueZCentral::updateState() {
    // Before BlueZ answered, the state is not known yet.
    if (present_ && !loaded_ && !accessDenied_) return;
    BLEManagerState next = computeState();
    if (next == state_.load()) return;
    if (next != BLEManagerState::PoweredOn) dropConnections();
    state_ = next;
    tell([next](BLECentralDelegate& d) { d.centralManagerDidUpdateState(next); });
}

void BlueZCentral::dropConnections() {
    // The manager reports these peripherals itself when the adapter goes away.
    scanning_ = false;
    pendingDiscovery_.clear();
    notifying_.clear();
    std::lock_guard guard(registryLock_);
    for (auto& [id, p] : byIdentifier_) p->setState(BLEPeripheralState::Disconnected);
}

// ---- devices -----------------------------------------------------------------------------------

BLEPeripheralPtr BlueZCentral::ensurePeripheral(const std::string& path) {
    if (auto it = byPath_.find(path); it != byPath_.end()) return it->second;
    std::string address = stringOf(property(path, kDevice, "Address"));
    std::string adapter = stringOf(property(path, kDevice, "Adapter"));
    if (adapter.empty()) adapter = parentPath(path);
    std::string adapterAddress = stringOf(property(adapter, kAdapter, "Address"));
    if (address.empty()) return nullptr;
    std::string id = peripheralIdentifier(adapterAddress, address);
    BLEPeripheralPtr peripheral;
    {
        std::lock_guard guard(registryLock_);
        auto& slot = byIdentifier_[id];
        if (!slot) slot = std::make_shared<BLEPeripheral>(id);
        peripheral = slot;
    }
    peripheral->setName(stringOf(property(path, kDevice, "Name")));
    byPath_[path] = peripheral;
    return peripheral;
}

BLEPeripheralPtr BlueZCentral::peripheralAt(const std::string& path) {
    auto it = byPath_.find(path);
    return it == byPath_.end() ? nullptr : it->second;
}

void BlueZCentral::deviceUpdated(const std::string& path, const std::set<std::string>& changed) {
    auto peripheral = ensurePeripheral(path);
    if (!peripheral) return;
    if (changed.count("Name")) peripheral->setName(stringOf(property(path, kDevice, "Name")));

    if (changed.count("Connected") && !boolOf(property(path, kDevice, "Connected"))) {
        auto s = peripheral->state();
        if (s == BLEPeripheralState::Connected || s == BLEPeripheralState::Disconnecting) {
            peripheral->setState(BLEPeripheralState::Disconnected);
            pendingDiscovery_.erase(path);
            tell([&](BLECentralDelegate& d) { d.didDisconnectPeripheral(peripheral); });
            return;
        }
    }
    if (changed.count("ServicesResolved") && boolOf(property(path, kDevice, "ServicesResolved")) &&
        pendingDiscovery_.count(path))
        completeDiscovery(peripheral);

    if (scanning_ && changed.count("RSSI")) {
        GVariant* rssi = property(path, kDevice, "RSSI");
        if (!rssi || !g_variant_is_of_type(rssi, G_VARIANT_TYPE_INT16)) return;
        if (!scanFilter_.empty()) {
            bool match = false;
            for (const auto& text : stringsOf(property(path, kDevice, "UUIDs"))) {
                auto uuid = bleUUIDString(text);
                if (uuid &&
                    std::find(scanFilter_.begin(), scanFilter_.end(), *uuid) != scanFilter_.end())
                    match = true;
            }
            if (!match) return;
        }
        int value = g_variant_get_int16(rssi);
        tell([&](BLECentralDelegate& d) { d.didDiscoverPeripheral(peripheral, value); });
    }
}

void BlueZCentral::setPeripheralGone(const BLEPeripheralPtr& peripheral, const char* reason) {
    auto s = peripheral->state();
    if (s == BLEPeripheralState::Disconnected) return;
    peripheral->setState(BLEPeripheralState::Disconnected);
    if (s == BLEPeripheralState::Connecting)
        tell([&](BLECentralDelegate& d) { d.didFailToConnectPeripheral(peripheral, reason); });
    else
        tell([&](BLECentralDelegate& d) { d.didDisconnectPeripheral(peripheral); });
}

void BlueZCentral::deviceRemoved(const std::string& path) {
    auto peripheral = peripheralAt(path);
    byPath_.erase(path);
    pendingDiscovery_.erase(path);
    if (!peripheral) return;
    {
        std::lock_guard guard(registryLock_);
        byIdentifier_.erase(peripheral->identifier());
    }
    setPeripheralGone(peripheral, "The peripheral went away");
}

// ---- requests (any thread; the work runs on the queue) -----------------------------------------

std::vector<BLEPeripheralPtr> BlueZCentral::retrievePeripherals(const std::string& identifier) {
    std::lock_guard guard(registryLock_);
    auto it = byIdentifier_.find(identifier);
    if (it == byIdentifier_.end()) return {};
    return {it->second};
}

void BlueZCentral::scanForPeripherals(const std::vector<std::string>& services,
                                      bool allowDuplicates) {
    scanning_ = true;
    post([this, services, allowDuplicates] {
        if (state_.load() != BLEManagerState::PoweredOn) {
            scanning_ = false;
            return;
        }
        scanFilter_ = services;
        std::string adapter = firstAdapter();
        GVariantBuilder filter;
        g_variant_builder_init(&filter, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&filter, "{sv}", "Transport", g_variant_new_string("le"));
        g_variant_builder_add(&filter, "{sv}", "DuplicateData",
                              g_variant_new_boolean(allowDuplicates));
        if (!services.empty()) {
            GVariantBuilder uuids;
            g_variant_builder_init(&uuids, G_VARIANT_TYPE("as"));
            for (auto& s : services) g_variant_builder_add(&uuids, "s", bluezUUID(s).c_str());
            g_variant_builder_add(&filter, "{sv}", "UUIDs", g_variant_builder_end(&uuids));
        }
        call(adapter, kAdapter, "SetDiscoveryFilter", g_variant_new("(a{sv})", &filter),
             [this, adapter](GVariant*, GError* error) {
                 if (error) syslog(LOG_INFO, "BLE discovery filter: %s", errorText(error).c_str());
                 call(adapter, kAdapter, "StartDiscovery", nullptr,
                      [this](GVariant*, GError* startError) {
                          if (!startError) return;
                          syslog(LOG_WARNING, "BLE scan failed: %s", errorText(startError).c_str());
                          scanning_ = false;
                      });
             });
    });
}

void BlueZCentral::stopScan() {
    scanning_ = false;
    post([this] {
        scanFilter_.clear();
        std::string adapter = firstAdapter();
        if (adapter.empty()) return;
        call(adapter, kAdapter, "StopDiscovery", nullptr, [](GVariant*, GError* error) {
            if (error) syslog(LOG_INFO, "BLE stop scan: %s", errorText(error).c_str());
        });
    });
}

void BlueZCentral::connect(const BLEPeripheralPtr& peripheral) {
    peripheral->setState(BLEPeripheralState::Connecting);
    post([this, peripheral] {
        std::string path;
        for (auto& [p, known] : byPath_)
            if (known == peripheral) path = p;
        if (path.empty()) {
            setPeripheralGone(peripheral, "The peripheral went away");
            return;
        }
        call(
            path, kDevice, "Connect", nullptr,
            [this, peripheral](GVariant*, GError* error) {
                auto s = peripheral->state();
                if (s == BLEPeripheralState::Disconnected) return;  // already reported
                if (!error) {
                    if (s != BLEPeripheralState::Connecting) return;  // a cancel is under way
                    peripheral->setState(BLEPeripheralState::Connected);
                    tell([&](BLECentralDelegate& d) { d.didConnectPeripheral(peripheral); });
                    return;
                }
                peripheral->setState(BLEPeripheralState::Disconnected);
                if (s == BLEPeripheralState::Disconnecting)
                    tell([&](BLECentralDelegate& d) { d.didDisconnectPeripheral(peripheral); });
                else
                    tell([&](BLECentralDelegate& d) {
                        d.didFailToConnectPeripheral(peripheral, errorText(error));
                    });
            },
            kConnectTimeoutMs);
    });
}

void BlueZCentral::cancelPeripheralConnection(const BLEPeripheralPtr& peripheral) {
    post([this, peripheral] {
        if (peripheral->state() == BLEPeripheralState::Disconnected) return;
        peripheral->setState(BLEPeripheralState::Disconnecting);
        std::string path;
        for (auto& [p, known] : byPath_)
            if (known == peripheral) path = p;
        if (path.empty()) {
            setPeripheralGone(peripheral, "The peripheral went away");
            return;
        }
        call(path, kDevice, "Disconnect", nullptr, [this, peripheral](GVariant*, GError* error) {
            if (error) syslog(LOG_INFO, "BLE disconnect: %s", errorText(error).c_str());
            if (peripheral->state() != BLEPeripheralState::Disconnecting) return;
            peripheral->setState(BLEPeripheralState::Disconnected);
            tell([&](BLECentralDelegate& d) { d.didDisconnectPeripheral(peripheral); });
        });
    });
}

void BlueZCentral::discoverServices(const BLEPeripheralPtr& peripheral,
                                    const std::vector<std::string>& uuids) {
    post([this, peripheral, uuids] {
        if (peripheral->state() != BLEPeripheralState::Connected) {
            tell([&](BLECentralDelegate& d) {
                d.didDiscoverServices(peripheral, std::string("The peripheral is not connected"));
            });
            return;
        }
        std::string path;
        for (auto& [p, known] : byPath_)
            if (known == peripheral) path = p;
        auto& wanted = pendingDiscovery_[path];
        for (auto& u : uuids)
            if (std::find(wanted.begin(), wanted.end(), u) == wanted.end()) wanted.push_back(u);
        // BlueZ discovers every service itself after connecting; wait for it to finish.
        if (boolOf(property(path, kDevice, "ServicesResolved"))) completeDiscovery(peripheral);
    });
}

void BlueZCentral::completeDiscovery(const BLEPeripheralPtr& peripheral) {
    std::string path;
    for (auto& [p, known] : byPath_)
        if (known == peripheral) path = p;
    auto wanted = std::move(pendingDiscovery_[path]);
    pendingDiscovery_.erase(path);
    auto services = peripheral->services();
    for (auto& [objectPath, interfaces] : objects_) {
        if (!interfaces.count(kService)) continue;
        if (stringOf(property(objectPath, kService, "Device")) != path &&
            parentPath(objectPath) != path)
            continue;
        auto uuid = bleUUIDString(stringOf(property(objectPath, kService, "UUID")));
        if (!uuid || std::find(wanted.begin(), wanted.end(), *uuid) == wanted.end()) continue;
        bool known = std::any_of(services.begin(), services.end(),
                                 [&](const BLEServicePtr& s) { return s->handle == objectPath; });
        if (known) continue;
        auto service = std::make_shared<BLEService>();
        service->uuid = *uuid;
        service->handle = objectPath;
        services.push_back(service);
    }
    peripheral->setServices(services);
    tell([&](BLECentralDelegate& d) { d.didDiscoverServices(peripheral, std::nullopt); });
}

void BlueZCentral::discoverCharacteristics(const BLEPeripheralPtr& peripheral,
                                           const BLEServicePtr& service) {
    post([this, peripheral, service] {
        auto updated = std::make_shared<BLEService>(*service);
        updated->characteristics.clear();
        for (auto& [objectPath, interfaces] : objects_) {
            if (!interfaces.count(kCharacteristic)) continue;
            if (stringOf(property(objectPath, kCharacteristic, "Service")) != service->handle &&
                parentPath(objectPath) != service->handle)
                continue;
            auto uuid = bleUUIDString(stringOf(property(objectPath, kCharacteristic, "UUID")));
            if (!uuid) continue;
            auto ch = std::make_shared<BLECharacteristic>();
            ch->uuid = *uuid;
            ch->serviceUUID = service->uuid;
            ch->handle = objectPath;
            ch->properties = characteristicPropertiesFromFlags(
                stringsOf(property(objectPath, kCharacteristic, "Flags")));
            updated->characteristics.push_back(ch);
        }
        auto services = peripheral->services();
        for (auto& s : services)
            if (s->handle == service->handle) s = updated;
        peripheral->setServices(services);
        BLEServicePtr result = updated;
        tell([&](BLECentralDelegate& d) {
            d.didDiscoverCharacteristics(peripheral, result, std::nullopt);
        });
    });
}

void BlueZCentral::readValue(const BLEPeripheralPtr& peripheral,
                             const BLECharacteristicPtr& characteristic) {
    post([this, peripheral, characteristic] {
        call(characteristic->handle, kCharacteristic, "ReadValue",
             g_variant_new("(@a{sv})", g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
             [this, peripheral, characteristic](GVariant* reply, GError* error) {
                 if (error) {
                     std::string text = errorText(error);
                     tell([&](BLECentralDelegate& d) {
                         d.didUpdateValue(peripheral, characteristic, {}, text);
                     });
                     return;
                 }
                 GVariant* value = g_variant_get_child_value(reply, 0);
                 auto bytes = bytesOf(value);
                 g_variant_unref(value);
                 tell([&](BLECentralDelegate& d) {
                     d.didUpdateValue(peripheral, characteristic, bytes, std::nullopt);
                 });
             });
    });
}

void BlueZCentral::writeValue(const BLEPeripheralPtr& peripheral,
                              const BLECharacteristicPtr& characteristic,
                              const std::vector<uint8_t>& value, BLEWriteType type) {
    post([this, peripheral, characteristic, value, type] {
        GVariantBuilder options;
        g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(
            &options, "{sv}", "type",
            g_variant_new_string(type == BLEWriteType::WithResponse ? "request" : "command"));
        GVariant* bytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, value.data(), value.size(),
                                                    sizeof(uint8_t));
        call(characteristic->handle, kCharacteristic, "WriteValue",
             g_variant_new("(@aya{sv})", bytes, &options),
             [this, peripheral, characteristic, type](GVariant*, GError* error) {
                 if (type == BLEWriteType::WithoutResponse) {
                     if (error) syslog(LOG_INFO, "BLE write: %s", errorText(error).c_str());
                     return;
                 }
                 std::optional<std::string> text;
                 if (error) text = errorText(error);
                 tell([&](BLECentralDelegate& d) {
                     d.didWriteValue(peripheral, characteristic, text);
                 });
             });
    });
}

void BlueZCentral::setNotifyValue(const BLEPeripheralPtr&, bool enabled,
                                  const BLECharacteristicPtr& characteristic) {
    post([this, enabled, characteristic] {
        const std::string& path = characteristic->handle;
        if (enabled)
            notifying_.insert(path);
        else
            notifying_.erase(path);
        call(path, kCharacteristic, enabled ? "StartNotify" : "StopNotify", nullptr,
             [this, enabled, path](GVariant*, GError* error) {
                 if (!error) return;
                 syslog(LOG_INFO, "BLE notify: %s", errorText(error).c_str());
                 if (enabled) notifying_.erase(path);
             });
    });
}

void BlueZCentral::characteristicValueChanged(const std::string& path, GVariant* value) {
    // Read replies are reported on their own; only subscribed values are notifications.
    if (!notifying_.count(path)) return;
    auto peripheral = peripheralAt(parentPath(parentPath(path)));
    if (!peripheral || peripheral->state() != BLEPeripheralState::Connected) return;
    for (auto& s : peripheral->services())
        for (auto& ch : s->characteristics)
            if (ch->handle == path) {
                auto bytes = bytesOf(value);
                tell([&](BLECentralDelegate& d) {
                    d.didUpdateValue(peripheral, ch, bytes, std::nullopt);
                });
                return;
            }
}

}  // namespace lumetta::net
