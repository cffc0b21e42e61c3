#pragma once

// A private system bus with python3-dbusmock's BlueZ on it, extended with one GATT peripheral.
// The bus has its own config and socket in a temporary folder; DBUS_SYSTEM_BUS_ADDRESS is
// pointed there when this object is made, before anything connects, so the machine's bus is
// never touched.

#include <fcntl.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/raii/GErrorPtr.h"
#include "base/raii/GObjectPtr.h"

extern char** environ;

namespace lumetta::test {

namespace bluezmock {
using namespace std::chrono_literals;

constexpr const char* kPython = "/usr/bin/python3";
const std::string kAdapterAddress = "00:01:02:03:04:05";  // the template's hci0
const std::string kDeviceAddress = "AA:BB:CC:DD:EE:01";
const std::string kDevice = "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01";
const std::string kService = kDevice + "/service0010";
const std::string kServiceUUID = "6E400001-B5A3-F393-E0A9-E50E24DCCA9E";
constexpr const char* kChr = "org.bluez.GattCharacteristic1";

inline pid_t spawn(std::vector<std::string> argv, const std::vector<std::string>& extraEnv = {}) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
    for (auto& e : extraEnv) envStore.push_back(e);
    std::vector<char*> env;
    for (auto& e : envStore) env.push_back(e.data());
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

inline void stop(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

template <class F>
inline bool waitUntil(F done, std::chrono::seconds guard = 20s) {
    auto end = std::chrono::steady_clock::now() + guard;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

struct VariantFree {
    void operator()(GVariant* v) const {
        if (v) g_variant_unref(v);
    }
};
using Variant = std::unique_ptr<GVariant, VariantFree>;

}  // namespace bluezmock

using namespace bluezmock;  // the helpers above, for the class below

/// The bus and the mock; stops both when destroyed. Methods report failures through gtest.
class PrivateBlueZ {
  public:
    using Variant = bluezmock::Variant;

    PrivateBlueZ() {
        char pattern[] = "/tmp/lumetta-bluez-XXXXXX";
        if (!mkdtemp(pattern)) return;
        dir = pattern;
        busAddress = "unix:path=" + dir + "/system_bus_socket";
        // Set before any connection: the central finds the system bus through it.
        setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress.c_str(), 1);
    }
    ~PrivateBlueZ() {
        test.reset();  // before the bus it is connected to goes
        bluezmock::stop(mock);
        bluezmock::stop(bus);
        if (!dir.empty()) {
            unlink((dir + "/system_bus_socket").c_str());
            unlink((dir + "/bus.conf").c_str());
            rmdir(dir.c_str());
        }
    }
    PrivateBlueZ(const PrivateBlueZ&) = delete;
    PrivateBlueZ& operator=(const PrivateBlueZ&) = delete;

    /// False where the tools are missing.
    static bool available() {
        return access(bluezmock::kPython, X_OK) == 0 && access("/usr/bin/dbus-daemon", X_OK) == 0;
    }

    void stopBlueZ() { bluezmock::stop(mock); }

    /// Starts the private bus; `denyObjects` refuses BlueZ's object list to everyone, as BlueZ's
    /// own policy does for users outside its group.
    void startBus(bool denyObjects = false) {
        std::ofstream conf(dir + "/bus.conf");
        conf << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\""
                " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                "<busconfig><type>system</type><listen>"
             << busAddress
             << "</listen><auth>EXTERNAL</auth>"
                "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
             << (denyObjects ? "<deny send_destination=\"org.bluez\" "
                               "send_interface=\"org.freedesktop.DBus.ObjectManager\"/>"
                             : "")
             << "</policy></busconfig>\n";
        conf.close();
        bus = spawn({"/usr/bin/dbus-daemon", "--config-file=" + dir + "/bus.conf", "--nofork",
                     "--nopidfile"});
        ASSERT_GT(bus, 0);
        ASSERT_TRUE(
            waitUntil([&] { return access((dir + "/system_bus_socket").c_str(), F_OK) == 0; }));
        // The socket exists a moment before the daemon accepts on it.
        std::string failure;
        ASSERT_TRUE(waitUntil([&] {
            GError* raw = nullptr;
            test = raii::adopt(g_dbus_connection_new_for_address_sync(
                busAddress.c_str(),
                static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                  G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, nullptr, &raw));
            raii::GErrorPtr error(raw);
            if (error) failure = error->message;
            return test != nullptr;
        })) << failure;
    }

    bool bluezOnBus() {
        Variant reply(callDBus("org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner",
                               g_variant_new("(s)", "org.bluez")));
        gboolean has = FALSE;
        if (reply) g_variant_get(reply.get(), "(b)", &has);
        return has;
    }

    /// Starts the mock BlueZ with one powered adapter.
    void startBlueZ(bool withAdapter = true) {
        mock = spawn({bluezmock::kPython, "-m", "dbusmock", "--template", "bluez5", "--system"},
                     {"DBUS_SYSTEM_BUS_ADDRESS=" + busAddress});
        ASSERT_GT(mock, 0);
        ASSERT_TRUE(waitUntil([&] { return bluezOnBus(); })) << "the mock did not come up";
        if (withAdapter)
            mockCall("/", "org.bluez.Mock", "AddAdapter", g_variant_new("(ss)", "hci0", "lumetta"));
    }

    GVariant* callDBus(const char* name, const std::string& path, const char* interface,
                       const char* method, GVariant* parameters, std::string* failure = nullptr) {
        GError* raw = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(test.get(), name, path.c_str(), interface,
                                                      method, parameters, nullptr,
                                                      G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &raw);
        raii::GErrorPtr error(raw);
        if (error && failure) *failure = error->message;
        return reply;
    }

    Variant mockCall(const std::string& path, const char* interface, const char* method,
                     GVariant* parameters) {
        std::string failure;
        Variant reply(callDBus("org.bluez", path, interface, method, parameters, &failure));
        EXPECT_TRUE(reply) << method << ": " << failure;
        return reply;
    }

    /// Sets properties on a mock object and emits PropertiesChanged, as BlueZ does.
    void update(const std::string& path, const char* interface, GVariant* properties) {
        mockCall(path, "org.freedesktop.DBus.Mock", "UpdateProperties",
                 g_variant_new("(s@a{sv})", interface, properties));
    }

    /// The device, its service and three characteristics: 2A37 readable and notifying, 2A39
    /// writable, 2A3A refusing writes, 2A3B taking the device away when read.
    void addPeripheral(const std::string& name = "Amp \"One\" é") {
        mockCall("/", "org.bluez.Mock", "AddDevice",
                 g_variant_new("(sss)", "hci0", kDeviceAddress.c_str(), name.c_str()));
        mockCall("/", "org.freedesktop.DBus.Mock", "AddObject",
                 g_variant_new_parsed("(%o, 'org.bluez.GattService1', {'UUID': <%s>, 'Device': "
                                      "<%o>, 'Primary': <true>}, @a(ssss) [])",
                                      kService.c_str(), "6e400001-b5a3-f393-e0a9-e50e24dcca9e",
                                      kDevice.c_str()));
        const std::string read = "ret = self.props['org.bluez.GattCharacteristic1']['Value']";
        const std::string write =
            "self.props['org.bluez.GattCharacteristic1']['Value'] = dbus.Array(args[0], "
            "signature='y')";
        const std::string notifyOn =
            "self.props['org.bluez.GattCharacteristic1']['Notifying'] = dbus.Boolean(True)";
        const std::string notifyOff =
            "self.props['org.bluez.GattCharacteristic1']['Notifying'] = dbus.Boolean(False)";
        const std::string refuse =
            "raise dbus.exceptions.DBusException('Write not permitted', "
            "name='org.bluez.Error.NotPermitted')";
        const std::string vanish =
            "objects['/org/bluez/hci0'].RemoveObject('" + kDevice +
            "'); objects['/'].EmitSignal('org.freedesktop.DBus.ObjectManager', "
            "'InterfacesRemoved', 'oas', [dbus.ObjectPath('" +
            kDevice +
            "'), ['org.bluez.Device1']]); raise dbus.exceptions.DBusException('Device "
            "disappeared', name='org.bluez.Error.Failed')";
        struct Chr {
            const char* suffix;
            const char* uuid;
            const char* flags;
            std::string writeCode;
            std::string readCode;
        };
        for (const Chr& c :
             {Chr{"/char0011", "00002a37-0000-1000-8000-00805f9b34fb", "['read', 'notify']", write,
                  read},
              Chr{"/char0014", "00002a39-0000-1000-8000-00805f9b34fb",
                  "['write', 'write-without-response']", write, read},
              Chr{"/char0016", "00002a3a-0000-1000-8000-00805f9b34fb", "['write']", refuse, read},
              Chr{"/char0018", "00002a3b-0000-1000-8000-00805f9b34fb", "['read']", write,
                  vanish}}) {
            std::string path = kService + c.suffix;
            std::string format =
                std::string(
                    "(%o, 'org.bluez.GattCharacteristic1', {'UUID': <%s>, 'Service': "
                    "<%o>, 'Value': <@ay [0x01, 0xab]>, 'Notifying': <false>, 'Flags': <") +
                c.flags +
                ">}, [('ReadValue', 'a{sv}', 'ay', %s), ('WriteValue', 'aya{sv}', '', %s), "
                "('StartNotify', '', '', %s), ('StopNotify', '', '', %s)])";
            mockCall("/", "org.freedesktop.DBus.Mock", "AddObject",
                     g_variant_new_parsed(format.c_str(), path.c_str(), c.uuid, kService.c_str(),
                                          c.readCode.c_str(), c.writeCode.c_str(), notifyOn.c_str(),
                                          notifyOff.c_str()));
        }
    }

    /// The mock's record of calls of `method` on `path`: each call's arguments.
    size_t callCount(const std::string& path, const char* method) {
        Variant reply = mockCall(path, "org.freedesktop.DBus.Mock", "GetMethodCalls",
                                 g_variant_new("(s)", method));
        if (!reply) return 0;
        Variant list(g_variant_get_child_value(reply.get(), 0));
        return g_variant_n_children(list.get());
    }

    /// The bytes and the "type" option of the last WriteValue on `path`.
    std::pair<std::string, std::string> lastWrite(const std::string& path) {
        Variant reply = mockCall(path, "org.freedesktop.DBus.Mock", "GetMethodCalls",
                                 g_variant_new("(s)", "WriteValue"));
        Variant list(g_variant_get_child_value(reply.get(), 0));
        size_t n = g_variant_n_children(list.get());
        if (n == 0) return {};
        Variant call(g_variant_get_child_value(list.get(), n - 1));
        Variant args(g_variant_get_child_value(call.get(), 1));
        Variant bytesBox(g_variant_get_child_value(args.get(), 0));
        Variant bytes(g_variant_get_variant(bytesBox.get()));
        std::string hex;
        for (size_t i = 0; i < g_variant_n_children(bytes.get()); ++i) {
            Variant b(g_variant_get_child_value(bytes.get(), i));
            char text[3];
            snprintf(text, sizeof text, "%02X", g_variant_get_byte(b.get()));
            hex += text;
        }
        Variant optionsBox(g_variant_get_child_value(args.get(), 1));
        Variant options(g_variant_get_variant(optionsBox.get()));
        const char* type = nullptr;
        g_variant_lookup(options.get(), "type", "&s", &type);
        return {hex, type ? type : ""};
    }

    bool discovering() {
        Variant reply(callDBus("org.bluez", "/org/bluez/hci0", "org.freedesktop.DBus.Properties",
                               "Get", g_variant_new("(ss)", "org.bluez.Adapter1", "Discovering")));
        if (!reply) return false;
        Variant box(g_variant_get_child_value(reply.get(), 0));
        Variant value(g_variant_get_variant(box.get()));
        return g_variant_get_boolean(value.get());
    }

    std::string dir, busAddress;
    pid_t bus = -1, mock = -1;
    raii::GObjectPtr<GDBusConnection> test;
};

}  // namespace lumetta::test
