// The ble module and its manager on a central double: the scan, connection, discovery and
// characteristic rules, and the events the page receives.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "modules/ble/BleModule.h"
#include "net/BLEText.h"
#include "net/FakeCentral.h"
#include "support/TestServices.h"

using namespace lumetta;
using namespace lumetta::bridge;
using lumetta::net::BLEManagerState;
using lumetta::net::BLEPeripheralState;
using lumetta::test::FakeCentral;

namespace {

const std::string kId1 = "98FB2DDF-61CA-5606-B668-CA6D55229D43";
const std::string kId2 = "BA1FCB99-6FA1-58D8-AFE2-0A4BFCDEB257";
const std::string kService = "6E400001-B5A3-F393-E0A9-E50E24DCCA9E";

class BleModuleTest : public ::testing::Test {
  protected:
    std::vector<std::string> events() {
        std::vector<std::string> out;
        while (auto e = native.queue().take()) out.push_back(*e);
        return out;
    }
    std::string call(const char* name, const Arg& a = {}, const Arg& b = {}) {
        return native.call(name, a, b);
    }

    /// Makes the central exist and be powered on.
    void powerOn() {
        call("$$ble_scanstart", "[]");
        central->setState(BLEManagerState::PoweredOn);
        central->runDelayed();
        call("$$ble_scanstop");
    }

    /// A connected peripheral whose service kService has characteristics 2A37 (mask 0x12) and
    /// 2A39 (mask 0x08).
    net::BLEPeripheralPtr connected(const std::string& id, const std::string& name) {
        auto p = central->addPeripheral(id, name);
        call("$$ble_connect", id);
        p->setState(BLEPeripheralState::Connected);
        manager().didConnectPeripheral(p);
        auto service = std::make_shared<net::BLEService>();
        service->uuid = kService;
        for (auto [uuid, mask] : {std::pair{"2A37", 0x12u}, std::pair{"2A39", 0x08u}}) {
            auto ch = std::make_shared<net::BLECharacteristic>();
            ch->uuid = uuid;
            ch->serviceUUID = kService;
            ch->properties = mask;
            service->characteristics.push_back(ch);
        }
        p->setServices({service});
        return p;
    }

    static std::string address(const std::string& id, const std::string& characteristic) {
        return net::characteristicAddress(id, kService, characteristic).dump();
    }

    net::BLECentralManager& manager() {
        return native.module<modules::ble::BleModule>()->manager();
    }

    FakeCentral* central = nullptr;
    test::TestHost host;
    NativeCall native{host.services, {modules::ble::descriptor([this](net::BLECentralDelegate& d) {
                          auto c = std::make_unique<FakeCentral>(d);
                          central = c.get();
                          return c;
                      })}};
};

}  // namespace

TEST_F(BleModuleTest, FirstScanOnlyCreatesTheCentralAndStartsHalfASecondAfterPowerOn) {
    EXPECT_EQ(call("$$ble_scanstart", "[\"180d\"]"), "v");
    ASSERT_NE(central, nullptr);
    EXPECT_TRUE(central->scans.empty());
    EXPECT_EQ(manager().pendingServices(), std::vector<std::string>{"180D"});
    central->setState(BLEManagerState::PoweredOn);
    ASSERT_EQ(central->delayed.size(), 1u);
    EXPECT_EQ(central->delayed[0].delay, std::chrono::milliseconds(500));
    EXPECT_TRUE(central->scans.empty());
    central->runDelayed();
    ASSERT_EQ(central->scans.size(), 1u);
    EXPECT_EQ(central->scans[0], std::vector<std::string>{"180D"});
    EXPECT_TRUE(central->allowDuplicates);
    EXPECT_FALSE(manager().pendingServices());
}

TEST_F(BleModuleTest, ASecondScanWhileScanningKeepsTheFirstFilter) {
    powerOn();
    call("$$ble_scanstart", "[\"180d\"]");
    call("$$ble_scanstart", "[\"180f\"]");
    ASSERT_EQ(central->scans.size(), 2u);
    EXPECT_EQ(central->scans.back(), std::vector<std::string>{"180D"});
}

TEST_F(BleModuleTest, EmptyOrMalformedScanListsScanForEverything) {
    powerOn();
    call("$$ble_scanstart", "not json");
    EXPECT_EQ(central->scans.back(), std::vector<std::string>{});
    call("$$ble_scanstop");
    call("$$ble_scanstart", "[]");
    EXPECT_EQ(central->scans.back(), std::vector<std::string>{});
}

TEST_F(BleModuleTest, AnInvalidUUIDInTheScanListIsAnError) {
    EXPECT_EQ(call("$$ble_scanstart", "[\"nope\"]").substr(0, 1), "e");
}

TEST_F(BleModuleTest, ScanWhileOffWaitsForPowerOnAndStopCancelsIt) {
    powerOn();
    central->setState(BLEManagerState::PoweredOff);
    call("$$ble_scanstart", "[\"180d\"]");
    EXPECT_TRUE(manager().pendingServices());
    call("$$ble_scanstop");
    central->setState(BLEManagerState::PoweredOn);
    central->runDelayed();
    EXPECT_EQ(central->scans.size(), 1u) << "only the scan of powerOn()";

    central->setState(BLEManagerState::PoweredOff);
    call("$$ble_scanstart", "[\"180d\"]");
    central->setState(BLEManagerState::PoweredOn);
    central->runDelayed();
    EXPECT_EQ(central->scans.back(), std::vector<std::string>{"180D"});
}

TEST_F(BleModuleTest, ScanWhileUnauthorizedPostsUnauthorized) {
    call("$$ble_scanstart", "[]");
    central->setState(BLEManagerState::Unauthorized);
    call("$$ble_scanstart", "[]");
    EXPECT_EQ(events(), std::vector<std::string>{"ble\funauthorized"});
    central->setState(BLEManagerState::Resetting);
    call("$$ble_scanstart", "[]");
    EXPECT_TRUE(events().empty()) << "resetting drops the scan without an event";
}

TEST_F(BleModuleTest, FoundNeedsANameAndCarriesTheRSSI) {
    powerOn();
    auto named = central->addPeripheral(kId1, "Amp \"1\" é");
    auto nameless = central->addPeripheral(kId2, "");
    manager().didDiscoverPeripheral(named, -57);
    manager().didDiscoverPeripheral(nameless, -40);
    manager().didDiscoverPeripheral(named, -58);
    EXPECT_EQ(events(), (std::vector<std::string>{"ble\ffound\f" + kId1 + "\fAmp \"1\" é\f-57",
                                                  "ble\ffound\f" + kId1 + "\fAmp \"1\" é\f-58"}));
}

TEST_F(BleModuleTest, ConnectTwiceIssuesOneRequestAndUnknownIdsDoNothing) {
    powerOn();
    central->addPeripheral(kId1, "A");
    call("$$ble_connect", kId1);
    call("$$ble_connect", "98fb2ddf-61ca-5606-b668-ca6d55229d43");
    call("$$ble_connect", kId2);
    call("$$ble_connect", "garbage");
    EXPECT_EQ(central->log, std::vector<std::string>{"connect " + kId1});
    EXPECT_EQ(manager().trackedCount(), 1u);
}

TEST_F(BleModuleTest, ConnectFailureUntracksAndReports) {
    powerOn();
    auto p = central->addPeripheral(kId1, "A");
    call("$$ble_connect", kId1);
    manager().didFailToConnectPeripheral(p, "Page timeout");
    EXPECT_EQ(events(), std::vector<std::string>{"ble\fconnectfailed\f" + kId1 + "\fA"});
    EXPECT_EQ(manager().trackedCount(), 0u);
    call("$$ble_connect", kId1);
    EXPECT_EQ(central->log.size(), 2u) << "a failed peripheral can be connected again";
}

TEST_F(BleModuleTest, DisconnectWithoutArgumentCancelsEveryConnectedPeripheral) {
    powerOn();
    connected(kId1, "A");
    auto idle = central->addPeripheral(kId2, "B");
    call("$$ble_connect", kId2);
    idle->setState(BLEPeripheralState::Disconnected);
    central->log.clear();
    call("$$ble_disconnect");
    EXPECT_EQ(central->log, std::vector<std::string>{"cancel " + kId1});
    EXPECT_EQ(manager().trackedCount(), 2u) << "the list changes only in the callbacks";
}

TEST_F(BleModuleTest, AdapterOffDisconnectsEveryTrackedPeripheral) {
    powerOn();
    connected(kId1, "A");
    connected(kId2, "B");
    events();
    central->setState(BLEManagerState::PoweredOff);
    EXPECT_EQ(events(), (std::vector<std::string>{"ble\fdisconnected\f" + kId1 + "\fA",
                                                  "ble\fdisconnected\f" + kId2 + "\fB"}));
    EXPECT_EQ(manager().trackedCount(), 0u);
}

TEST_F(BleModuleTest, DiscoveryFindsTheTargetOrReportsZero) {
    powerOn();
    auto p = connected(kId1, "A");
    central->log.clear();
    call("$$ble_discover", kId1, "6e400001-b5a3-f393-e0a9-e50e24dcca9e");
    EXPECT_EQ(central->log, std::vector<std::string>{"services " + kId1 + " " + kService});
    manager().didDiscoverServices(p, std::nullopt);
    EXPECT_EQ(central->log.back(), "characteristics " + kId1 + " " + kService);
    manager().didDiscoverCharacteristics(p, p->services()[0], std::nullopt);
    auto list = events();
    ASSERT_FALSE(list.empty());
    const std::string prefix = "ble\fdiscovered\f" + kId1 + "\f" + kService + "\f";
    ASSERT_EQ(list.back().rfind(prefix, 0), 0u);
    EXPECT_EQ(nlohmann::json::parse(list.back().substr(prefix.size())),
              nlohmann::json({"2A37", "2A39"}));

    call("$$ble_discover", kId1, "180d");
    manager().didDiscoverServices(p, std::nullopt);
    EXPECT_EQ(events(), std::vector<std::string>{"ble\fdiscoverfailed\f" + kId1 + "\f0"});
    manager().didDiscoverServices(p, std::string("Not connected"));
    EXPECT_EQ(events(),
              std::vector<std::string>{"ble\fdiscoverfailed\f" + kId1 + "\fNot connected"});
}

TEST_F(BleModuleTest, PropertiesOfMask0x12AreReadAndNotify) {
    powerOn();
    connected(kId1, "A");
    auto result = call("$$ble_properties", address(kId1, "2a37"));
    ASSERT_EQ(result[0], 's');
    auto props = nlohmann::json::parse(result.substr(1));
    EXPECT_EQ(props, net::propertiesObject(0x12));
    EXPECT_EQ(call("$$ble_properties", address(kId1, "2A40")), "s{}");
    EXPECT_EQ(call("$$ble_properties", "{bad json"), "s{}");
    EXPECT_EQ(call("$$ble_properties",
                   "{\"BLEPeripheralKey\":null,\"BLEServiceKey\":\"180d\","
                   "\"BLECharacteristicKey\":\"2a37\"}"),
              "s{}");
    EXPECT_EQ(call("$$ble_properties", "{\"BLEPeripheralKey\":\"" + kId1 +
                                           "\",\"BLEServiceKey\":\"zz\",\"BLECharacteristicKey\":"
                                           "\"2a37\"}")[0],
              'e');
}

TEST_F(BleModuleTest, ACharacteristicOfADisconnectedPeripheralCannotBeAddressed) {
    powerOn();
    auto p = connected(kId1, "A");
    p->setState(BLEPeripheralState::Disconnecting);
    EXPECT_EQ(call("$$ble_properties", address(kId1, "2A37")), "s{}");
    central->log.clear();
    call("$$ble_read", address(kId1, "2A37"));
    EXPECT_TRUE(central->log.empty());
}

TEST_F(BleModuleTest, ReadWriteAndNotifyReachTheCharacteristic) {
    powerOn();
    connected(kId1, "A");
    central->log.clear();
    call("$$ble_read", address(kId1, "2A37"));
    call("$$ble_write", address(kId1, "2A39"), "01ab");
    call("$$ble_writewithoutresponse", address(kId1, "2A39"), "7");
    call("$$ble_notify", address(kId1, "2A37"), "  +0001");
    call("$$ble_notify", address(kId1, "2A37"), "no");
    EXPECT_EQ(central->log,
              (std::vector<std::string>{"read 2A37", "write 2A39 1,171, 0", "write 2A39  1",
                                        "notify 2A37 on", "notify 2A37 off"}));
}

TEST_F(BleModuleTest, ValuesAndWritesAreReportedWithTheCharacteristicAddress) {
    powerOn();
    auto p = connected(kId1, "A");
    events();
    auto ch = p->services()[0]->characteristics[0];
    manager().didUpdateValue(p, ch, {0x01, 0xAB}, std::nullopt);
    manager().didUpdateValue(p, ch, {}, std::string("Read not permitted"));
    manager().didWriteValue(p, ch, std::string("Write not permitted"));
    manager().didWriteValue(p, ch, std::nullopt);
    auto list = events();
    ASSERT_EQ(list.size(), 4u);
    auto fields = [](const std::string& e) {
        std::vector<std::string> out;
        for (auto f : splitFields(e, '\f')) out.emplace_back(f);
        return out;
    };
    auto expected = net::characteristicAddress(kId1, kService, "2A37");
    auto changed = fields(list[0]);
    ASSERT_EQ(changed.size(), 5u);
    EXPECT_EQ(changed[1], "changed");
    EXPECT_EQ(nlohmann::json::parse(changed[2]), expected);
    EXPECT_EQ(changed[3], "01AB");
    EXPECT_EQ(changed[4], "");
    auto failed = fields(list[1]);
    EXPECT_EQ(failed[3], "");
    EXPECT_EQ(failed[4], "Read not permitted");
    auto refused = fields(list[2]);
    ASSERT_EQ(refused.size(), 4u);
    EXPECT_EQ(refused[1], "write");
    EXPECT_EQ(refused[3], "Write not permitted");
    EXPECT_EQ(fields(list[3])[3], "");
}

TEST_F(BleModuleTest, ADisconnectedPeripheralLeavesTheList) {
    powerOn();
    auto p = connected(kId1, "A");
    events();
    p->setState(BLEPeripheralState::Disconnected);
    manager().didDisconnectPeripheral(p);
    EXPECT_EQ(events(), std::vector<std::string>{"ble\fdisconnected\f" + kId1 + "\fA"});
    EXPECT_EQ(manager().trackedCount(), 0u);
    EXPECT_EQ(call("$$ble_properties", address(kId1, "2A37")), "s{}");
}
