// The ble module on the BlueZ central against python3-dbusmock's bluez5 template, extended
// here with GATT services and characteristics. Everything runs on a private system bus that
// the fixture starts (its own dbus-daemon, config and socket); DBUS_SYSTEM_BUS_ADDRESS points
// there before anything connects, so the machine's bus is never touched.

#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "bridge/NativeCall.h"
#include "modules/ble/BleModule.h"
#include "net/BLEText.h"
#include "net/PrivateBlueZ.h"
#include "support/TestServices.h"

using namespace lumetta;
using namespace lumetta::test::bluezmock;
using namespace std::chrono_literals;

namespace {

class BlueZCentralTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::PrivateBlueZ::available())
            GTEST_SKIP() << "needs /usr/bin/python3 with python3-dbusmock and dbus-daemon";
    }

    void TearDown() override { native.reset(); }

    // A bus with BlueZ and the peripheral on it, then the module.
    void startWithPeripheral() {
        ASSERT_NO_FATAL_FAILURE(bluez.startBus());
        ASSERT_NO_FATAL_FAILURE(bluez.startBlueZ());
        ASSERT_NO_FATAL_FAILURE(bluez.addPeripheral());
        startModule();
    }

    void startModule() {
        native = std::make_unique<bridge::NativeCall>(
            host.services, std::vector<bridge::ModuleDescriptor>{modules::ble::descriptor()});
    }

    std::string call(const char* name, const bridge::Arg& a = {}, const bridge::Arg& b = {}) {
        return native->call(name, a, b);
    }

    /// Waits for the next event and returns it ("" after the hang guard).
    std::string nextEvent(std::chrono::seconds guard = 20s) {
        std::optional<std::string> event;
        waitUntil([&] { return (event = native->queue().take()).has_value(); }, guard);
        return event.value_or("");
    }

    static std::vector<std::string> fields(const std::string& event) {
        std::vector<std::string> out;
        for (auto f : bridge::splitFields(event, '\f')) out.emplace_back(f);
        return out;
    }

    std::string identifier() const {
        return net::peripheralIdentifier(kAdapterAddress, kDeviceAddress);
    }

    std::string address(const char* characteristic) const {
        return net::characteristicAddress(identifier(), kServiceUUID, characteristic).dump();
    }

    /// Scans until powered on, connects the device and discovers the service.
    void connectAndDiscover() {
        call("$$ble_scanstart", "[]");
        ASSERT_TRUE(waitUntil([&] { return bluez.discovering(); })) << "the scan never started";
        call("$$ble_connect", identifier());
        EXPECT_EQ(nextEvent(), "ble\fconnected\f" + identifier() + "\fAmp \"One\" é");
        call("$$ble_discover", identifier(), "6e400001-b5a3-f393-e0a9-e50e24dcca9e");
        // BlueZ resolves the services after connecting; discovery waits for it.
        bluez.update(kDevice, "org.bluez.Device1",
                     g_variant_new_parsed("{'ServicesResolved': <true>}"));
        auto discovered = fields(nextEvent());
        ASSERT_EQ(discovered.size(), 5u);
        EXPECT_EQ(discovered[1], "discovered");
        EXPECT_EQ(discovered[3], kServiceUUID);
        EXPECT_EQ(nlohmann::json::parse(discovered[4]),
                  nlohmann::json({"2A37", "2A39", "2A3A", "2A3B"}));
    }

    test::PrivateBlueZ bluez;
    test::TestHost host;
    std::unique_ptr<bridge::NativeCall> native;
};

}  // namespace

TEST_F(BlueZCentralTest, ScanReportsEveryAdvertisementOfANamedPeripheral) {
    ASSERT_NO_FATAL_FAILURE(startWithPeripheral());
    call("$$ble_scanstart", "[]");
    ASSERT_TRUE(waitUntil([&] { return bluez.discovering(); }));
    for (int rssi : {-42, -43}) {
        bluez.update(kDevice, "org.bluez.Device1",
                     g_variant_new_parsed("{'RSSI': <@n %n>}", static_cast<gint16>(rssi)));
        EXPECT_EQ(nextEvent(),
                  "ble\ffound\f" + identifier() + "\fAmp \"One\" é\f" + std::to_string(rssi));
    }
    call("$$ble_scanstop");
    ASSERT_TRUE(waitUntil([&] { return !bluez.discovering(); }));
}

TEST_F(BlueZCentralTest, TheServiceFilterDropsPeripheralsWithoutTheService) {
    ASSERT_NO_FATAL_FAILURE(startWithPeripheral());
    call("$$ble_scanstart", "[\"180d\"]");
    ASSERT_TRUE(waitUntil([&] { return bluez.discovering(); }));
    bluez.update(kDevice, "org.bluez.Device1", g_variant_new_parsed("{'RSSI': <@n -50>}"));
    bluez.update(kDevice, "org.bluez.Device1",
                 g_variant_new_parsed("{'UUIDs': <['0000180d-0000-1000-8000-00805f9b34fb']>, "
                                      "'RSSI': <@n -51>}"));
    EXPECT_EQ(fields(nextEvent()).at(4), "-51");
    EXPECT_FALSE(native->queue().take());
}

TEST_F(BlueZCentralTest, ConnectDiscoverReadWriteAndNotify) {
    ASSERT_NO_FATAL_FAILURE(startWithPeripheral());
    ASSERT_NO_FATAL_FAILURE(connectAndDiscover());

    auto props = call("$$ble_properties", address("2A37"));
    EXPECT_EQ(nlohmann::json::parse(props.substr(1)), net::propertiesObject(0x12));

    call("$$ble_read", address("2A37"));
    auto changed = fields(nextEvent());
    ASSERT_EQ(changed.size(), 5u);
    EXPECT_EQ(nlohmann::json::parse(changed[2]),
              net::characteristicAddress(identifier(), kServiceUUID, "2A37"));
    EXPECT_EQ(changed[3], "01AB");
    EXPECT_EQ(changed[4], "");

    call("$$ble_write", address("2A39"), "01ab");
    auto write = fields(nextEvent());
    ASSERT_EQ(write.size(), 4u);
    EXPECT_EQ(write[1], "write");
    EXPECT_EQ(write[3], "");
    EXPECT_EQ(bluez.lastWrite(kService + "/char0014"),
              (std::pair<std::string, std::string>{"01AB", "request"}));

    call("$$ble_writewithoutresponse", address("2A39"), "ff00");
    ASSERT_TRUE(
        waitUntil([&] { return bluez.callCount(kService + "/char0014", "WriteValue") == 2; }));
    EXPECT_EQ(bluez.lastWrite(kService + "/char0014"),
              (std::pair<std::string, std::string>{"FF00", "command"}));
    EXPECT_FALSE(native->queue().take()) << "a write without response has no event";

    call("$$ble_notify", address("2A37"), "1");
    ASSERT_TRUE(
        waitUntil([&] { return bluez.callCount(kService + "/char0011", "StartNotify") == 1; }));
    bluez.update(kService + "/char0011", kChr,
                 g_variant_new_parsed("{'Value': <@ay [0x7f, 0x00]>}"));
    EXPECT_EQ(fields(nextEvent()).at(3), "7F00");
    call("$$ble_notify", address("2A37"), "0");
    ASSERT_TRUE(
        waitUntil([&] { return bluez.callCount(kService + "/char0011", "StopNotify") == 1; }));
    bluez.update(kService + "/char0011", kChr, g_variant_new_parsed("{'Value': <@ay [0x01]>}"));
    call("$$ble_disconnect");
    EXPECT_EQ(nextEvent(), "ble\fdisconnected\f" + identifier() + "\fAmp \"One\" é")
        << "no changed event after notifications were switched off";
}

TEST_F(BlueZCentralTest, ARefusedWriteIsReportedWithItsReason) {
    ASSERT_NO_FATAL_FAILURE(startWithPeripheral());
    ASSERT_NO_FATAL_FAILURE(connectAndDiscover());
    call("$$ble_write", address("2A3A"), "01");
    auto write = fields(nextEvent());
    ASSERT_EQ(write.size(), 4u);
    EXPECT_EQ(write[1], "write");
    EXPECT_EQ(write[3], "Write not permitted");
}

TEST_F(BlueZCentralTest, APeripheralThatDisappearsMidReadIsReportedAndForgotten) {
    ASSERT_NO_FATAL_FAILURE(startWithPeripheral());
    ASSERT_NO_FATAL_FAILURE(connectAndDiscover());
    call("$$ble_read", address("2A3B"));
    std::vector<std::string> got = {nextEvent(), nextEvent()};
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got[1], "ble\fdisconnected\f" + identifier() + "\fAmp \"One\" é");
    auto failed = fields(got[0]);
    ASSERT_EQ(failed.size(), 5u);
    EXPECT_EQ(failed[1], "changed");
    EXPECT_EQ(failed[3], "");
    EXPECT_EQ(failed[4], "Device disappeared");
    EXPECT_EQ(call("$$ble_properties", address("2A37")), "s{}");
    call("$$ble_read", address("2A37"));
    call("$$ble_connect", identifier());
    EXPECT_FALSE(native->queue().take());
}

TEST_F(BlueZCentralTest, APeripheralThatDisappearsWhileConnectingFailsTheConnection) {
    ASSERT_NO_FATAL_FAILURE(bluez.startBus());
    ASSERT_NO_FATAL_FAILURE(bluez.startBlueZ());
    ASSERT_NO_FATAL_FAILURE(bluez.addPeripheral());
    // This device goes out of range while the connection is being made.
    const std::string vanish =
        "objects['/org/bluez/hci0'].RemoveObject('" + kDevice +
        "'); objects['/'].EmitSignal('org.freedesktop.DBus.ObjectManager', "
        "'InterfacesRemoved', 'oas', [dbus.ObjectPath('" +
        kDevice +
        "'), ['org.bluez.Device1']]); raise dbus.exceptions.DBusException('Page timeout', "
        "name='org.bluez.Error.Failed')";
    bluez.mockCall(
        kDevice, "org.freedesktop.DBus.Mock", "AddMethod",
        g_variant_new("(sssss)", "org.bluez.Device1", "Connect", "", "", vanish.c_str()));
    startModule();
    call("$$ble_scanstart", "[]");
    ASSERT_TRUE(waitUntil([&] { return bluez.discovering(); }));
    call("$$ble_connect", identifier());
    EXPECT_EQ(nextEvent(), "ble\fconnectfailed\f" + identifier() + "\fAmp \"One\" é");
    // Gone for good: a second attempt finds nothing to connect, and nothing else is reported.
    EXPECT_EQ(call("$$ble_connect", identifier()), "v");
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(native->queue().take());
}

TEST_F(BlueZCentralTest, AdapterOffDisconnectsAndAScanWaitsForPowerOn) {
    ASSERT_NO_FATAL_FAILURE(startWithPeripheral());
    ASSERT_NO_FATAL_FAILURE(connectAndDiscover());
    // Switching the adapter off ends its discovery too.
    bluez.update("/org/bluez/hci0", "org.bluez.Adapter1",
                 g_variant_new_parsed("{'Powered': <false>, 'Discovering': <false>}"));
    EXPECT_EQ(nextEvent(), "ble\fdisconnected\f" + identifier() + "\fAmp \"One\" é");
    call("$$ble_scanstart", "[]");
    std::this_thread::sleep_for(700ms);
    EXPECT_FALSE(bluez.discovering()) << "no scan while the adapter is off";
    bluez.update("/org/bluez/hci0", "org.bluez.Adapter1",
                 g_variant_new_parsed("{'Powered': <true>}"));
    EXPECT_TRUE(waitUntil([&] { return bluez.discovering(); })) << "the waiting scan never started";
}

TEST_F(BlueZCentralTest, BlueZRestartingDisconnectsAndTheScanResumesWhenItReturns) {
    ASSERT_NO_FATAL_FAILURE(startWithPeripheral());
    ASSERT_NO_FATAL_FAILURE(connectAndDiscover());
    bluez.stopBlueZ();
    EXPECT_EQ(nextEvent(), "ble\fdisconnected\f" + identifier() + "\fAmp \"One\" é");
    call("$$ble_scanstart", "[]");
    ASSERT_NO_FATAL_FAILURE(bluez.startBlueZ());
    EXPECT_TRUE(waitUntil([&] { return bluez.discovering(); })) << "the scan did not resume";
    EXPECT_FALSE(native->queue().take());
}

TEST_F(BlueZCentralTest, BlueZAbsentAtFirstScanIsNotAnErrorAndTheScanStartsWhenItArrives) {
    ASSERT_NO_FATAL_FAILURE(bluez.startBus());
    startModule();
    EXPECT_EQ(call("$$ble_scanstart", "[]"), "v");
    EXPECT_EQ(call("$$ble_connect", identifier()), "v");
    EXPECT_EQ(call("$$ble_properties", address("2A37")), "s{}");
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(native->queue().take());
    ASSERT_NO_FATAL_FAILURE(bluez.startBlueZ());
    EXPECT_TRUE(waitUntil([&] { return bluez.discovering(); }));
}

TEST_F(BlueZCentralTest, RefusedAccessMakesAScanReportUnauthorized) {
    ASSERT_NO_FATAL_FAILURE(bluez.startBus(/*denyObjects=*/true));
    ASSERT_NO_FATAL_FAILURE(bluez.startBlueZ());
    startModule();
    call("$$ble_scanstart", "[]");
    // The state arrives on the queue; ask again until the manager knows it.
    std::string event;
    ASSERT_TRUE(waitUntil([&] {
        call("$$ble_scanstart", "[]");
        auto e = native->queue().take();
        if (e) event = *e;
        return e.has_value();
    }));
    EXPECT_EQ(event, "ble\funauthorized");
    EXPECT_FALSE(bluez.discovering());
}
