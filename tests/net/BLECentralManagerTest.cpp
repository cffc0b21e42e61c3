// The manager's peripheral list under bridge calls and queue callbacks at the same time (also
// run under ThreadSanitizer).

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "net/BLECentralManager.h"
#include "net/BLEText.h"
#include "net/FakeCentral.h"

using namespace lumetta;
using net::BLEPeripheralState;

TEST(BLECentralManagerTest, BridgeCallsAndCallbacksInterleaveWithoutLosingTheList) {
    std::atomic<int> events{0};
    test::FakeCentral* central = nullptr;
    net::BLECentralManager manager(
        [&](net::BLECentralDelegate& d) {
            auto c = std::make_unique<test::FakeCentral>(d);
            central = c.get();
            return c;
        },
        [&](std::string) { ++events; });
    manager.scanForPeripheralsWithServices(std::vector<std::string>{});
    ASSERT_NE(central, nullptr);
    central->currentState = net::BLEManagerState::PoweredOn;

    const std::string id = net::peripheralIdentifier("00:01:02:03:04:05", "AA:BB:CC:DD:EE:01");
    auto peripheral = central->addPeripheral(id, "Amp");
    auto service = std::make_shared<net::BLEService>();
    service->uuid = "180D";
    auto ch = std::make_shared<net::BLECharacteristic>();
    ch->uuid = "2A37";
    ch->serviceUUID = "180D";
    ch->properties = 0x12;
    service->characteristics.push_back(ch);
    peripheral->setServices({service});
    const auto address = net::characteristicAddress(id, "180D", "2A37");

    constexpr int kRounds = 2000;
    std::atomic<bool> stop{false};
    // The queue: connections come and go.
    std::thread queue([&] {
        while (!stop) {
            peripheral->setState(BLEPeripheralState::Connected);
            manager.didConnectPeripheral(peripheral);
            manager.didUpdateValue(peripheral, ch, {1, 2}, std::nullopt);
            peripheral->setState(BLEPeripheralState::Disconnected);
            manager.didDisconnectPeripheral(peripheral);
        }
    });
    // The bridge: connect, inspect, read, disconnect.
    for (int i = 0; i < kRounds; ++i) {
        manager.connect(id);
        auto props = manager.getProperties(address);
        EXPECT_TRUE(props == "{}" || props.find("\"notify\": true") != std::string::npos) << props;
        manager.readCharacteristic(address);
        manager.disconnect(std::nullopt);
        EXPECT_LE(manager.trackedCount(), 1u);
    }
    stop = true;
    queue.join();
    peripheral->setState(BLEPeripheralState::Disconnected);
    manager.didDisconnectPeripheral(peripheral);
    EXPECT_EQ(manager.trackedCount(), 0u);
    EXPECT_GT(events.load(), 0);
    EXPECT_GE(central->logSize(), 1u);
}
