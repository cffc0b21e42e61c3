#include <gtest/gtest.h>

#include <cstring>

#include "link/DLKDescription.h"

using namespace lumetta::link;

namespace {

DLKDeviceDescription sample() {
    DLKDeviceDescription d;
    d.portNo = 7000;
    d.number = 0x0012ABCD;
    d.caps = 3;
    d.image = 4;
    d.status = 5;
    d.manufacturer = "Velmar";
    d.model = "ABC";
    d.version = "1.2.3";
    d.name = "Stage Left";
    return d;
}

constexpr uint32_t kPeer = (10u << 24) | (99u << 16) | 2u;  // 10.99.0.2

}  // namespace

TEST(DLKDescriptionTest, AnnouncementCarriesMagicAndPortHighByteFirst) {
    auto a = makeAnnouncement(50000);
    const uint8_t expected[] = {'K', 'D', 'D', 'P', 'v', '1', 0xC3, 0x50};
    EXPECT_EQ(0, std::memcmp(a.data(), expected, sizeof expected));
    EXPECT_EQ(parseAnnouncement(a.data(), a.size()), 50000);
    EXPECT_FALSE(parseAnnouncement(a.data(), 7));
}

TEST(DLKDescriptionTest, DirectedBroadcastSetsTheHostBits) {
    uint32_t addr = (192u << 24) | (168u << 16) | (1u << 8) | 10u;
    EXPECT_EQ(dottedAddress(directedBroadcast(addr, 0xFFFFFF00u)), "192.168.1.255");
    EXPECT_EQ(dottedAddress(directedBroadcast(kPeer, 0xFFFF0000u)), "10.99.255.255");
}

TEST(DLKDescriptionTest, ValidDescriptionBecomesTheDeviceDictionary) {
    auto bytes = sample().toBytes();
    auto d = parseDescription(bytes.data(), bytes.size(), kPeer);
    ASSERT_TRUE(d);
    auto dict = deviceDictionary(*d, kPeer);
    EXPECT_EQ(dict["DLKDeviceAddressKey"], "10.99.0.2");
    EXPECT_EQ(dict["DLKDevicePortNoKey"], 7000);
    EXPECT_EQ(dict["DLKDeviceUIDKey"], "ABC-0012ABCD");
    EXPECT_EQ(dict["DLKDeviceCapsKey"], 3);
    EXPECT_EQ(dict["DLKDeviceImageKey"], 4);
    EXPECT_EQ(dict["DLKDeviceStatusKey"], 5);
    EXPECT_EQ(dict["DLKDeviceManufacturerKey"], "Velmar");
    EXPECT_EQ(dict["DLKDeviceVersionKey"], "1.2.3");
    EXPECT_EQ(dict["DLKDeviceNameKey"], "Stage Left");
    EXPECT_EQ(dict.size(), 9u);
}

TEST(DLKDescriptionTest, FieldsAreReadAtTheirOffsets) {
    auto bytes = sample().toBytes();
    EXPECT_EQ(bytes[6], 0x1B);
    EXPECT_EQ(bytes[7], 0x58);
    EXPECT_EQ(bytes[8], 0x00);
    EXPECT_EQ(bytes[11], 0xCD);
    EXPECT_EQ(bytes[12], 3);
    EXPECT_EQ(0, std::memcmp(&bytes[20], "Velmar", 6));
    EXPECT_EQ(0, std::memcmp(&bytes[36], "ABC", 3));
    EXPECT_EQ(0, std::memcmp(&bytes[44], "1.2.3", 5));
    EXPECT_EQ(0, std::memcmp(&bytes[52], "Stage Left", 10));
}

TEST(DLKDescriptionTest, FullWidthTextsWithoutTerminatorAreTakenWhole) {
    auto desc = sample();
    desc.name = "0123456789ABCDEFextra";
    desc.model = "MODEL123";
    desc.manufacturer = "ManufacturerName";
    auto bytes = desc.toBytes();
    bytes[68] = 'X';  // reserved bytes right after the name must not leak into it
    auto d = parseDescription(bytes.data(), bytes.size(), kPeer);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->name, "0123456789ABCDEF");
    EXPECT_EQ(d->model, "MODEL123");
    EXPECT_EQ(d->manufacturer, "ManufacturerName");
    EXPECT_EQ(deviceDictionary(*d, kPeer)["DLKDeviceUIDKey"], "MODEL123-0012ABCD");
}

TEST(DLKDescriptionTest, ShortOrCorruptDescriptionsAreRefused) {
    auto good = sample().toBytes();
    EXPECT_FALSE(parseDescription(good.data(), 83, kPeer)) << "83 bytes";
    EXPECT_FALSE(parseDescription(good.data(), good.size(), 0)) << "zero address";
    auto magic = good;
    magic[5] = '2';
    EXPECT_FALSE(parseDescription(magic.data(), magic.size(), kPeer)) << "wrong magic";
    auto port = good;
    port[6] = port[7] = 0;
    EXPECT_FALSE(parseDescription(port.data(), port.size(), kPeer)) << "zero port";
    auto caps = good;
    caps[12] = 0;
    EXPECT_FALSE(parseDescription(caps.data(), caps.size(), kPeer)) << "zero capabilities";
}

TEST(DLKDescriptionTest, NonAsciiTextStaysWritableAsJson) {
    auto bytes = sample().toBytes();
    bytes[52] = 0xFF;
    auto d = parseDescription(bytes.data(), bytes.size(), kPeer);
    ASSERT_TRUE(d);
    EXPECT_NO_THROW(deviceDictionary(*d, kPeer).dump());
}
