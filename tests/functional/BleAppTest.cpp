// The real application and its page against the mock BlueZ on a private system bus: scan,
// connect, discover and read through the page, with a peripheral name holding quotes, a
// backslash, a form feed and non-ASCII text.

#include <gtest/gtest.h>

#include "functional/AppProcess.h"
#include "net/BLEText.h"
#include "net/PrivateBlueZ.h"

using namespace lumetta;
using namespace lumetta::test;
using namespace std::chrono_literals;

TEST(BleApp, ThePageScansConnectsDiscoversAndReadsAndSeesTheNameExactly) {
    if (!PrivateBlueZ::available()) GTEST_SKIP() << "needs python3-dbusmock and dbus-daemon";
    const std::string name = "It's \"Amp\" \\ 2\fcafé ✓";
    PrivateBlueZ bluez;
    ASSERT_NO_FATAL_FAILURE(bluez.startBus());
    ASSERT_NO_FATAL_FAILURE(bluez.startBlueZ());
    ASSERT_NO_FATAL_FAILURE(bluez.addPeripheral(name));

    AppProcess app;
    // The application's environment is built afresh: hand it the private bus explicitly.
    app.setEnv("DBUS_SYSTEM_BUS_ADDRESS", bluez.busAddress);
    app.start({"--page=" + app.page("ble.html").string()});
    auto scan = app.waitForKey("scan", 60s);
    ASSERT_TRUE(scan) << app.stored("error").value_or("page reported nothing");
    EXPECT_EQ(*scan, "v");
    ASSERT_TRUE(bluezmock::waitUntil([&] { return bluez.discovering(); }, 30s));
    // An advertisement: BlueZ updates the device's signal strength.
    bluez.update(bluezmock::kDevice, "org.bluez.Device1",
                 g_variant_new_parsed("{'RSSI': <@n -61>}"));

    auto connected = app.waitForKey("connected", 60s);
    ASSERT_TRUE(connected) << app.stored("error").value_or("never connected");
    bluez.update(bluezmock::kDevice, "org.bluez.Device1",
                 g_variant_new_parsed("{'ServicesResolved': <true>}"));
    auto result = app.waitForKey("result", 60s);
    ASSERT_TRUE(result) << app.stored("error").value_or("no result");

    const std::string id =
        net::peripheralIdentifier(bluezmock::kAdapterAddress, bluezmock::kDeviceAddress);
    auto& r = *result;
    EXPECT_EQ(r["found"]["id"], id);
    EXPECT_EQ(r["found"]["name"], name);
    EXPECT_EQ(r["found"]["rssi"], "-61");
    EXPECT_EQ(r["connected"]["name"], name);
    EXPECT_EQ(r["discovered"]["service"], bluezmock::kServiceUUID);
    EXPECT_EQ(r["discovered"]["characteristics"], nlohmann::json({"2A37", "2A39", "2A3A", "2A3B"}));
    EXPECT_EQ(r["properties"], net::propertiesObject(0x12));
    EXPECT_EQ(r["changed"]["address"],
              net::characteristicAddress(id, bluezmock::kServiceUUID, "2A37"));
    EXPECT_EQ(r["changed"]["value"], "01AB");
    EXPECT_EQ(r["changed"]["error"], "");
}
