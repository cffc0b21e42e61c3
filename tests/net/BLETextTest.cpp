#include <gtest/gtest.h>

#include "net/BLEText.h"

using namespace lumetta::net;

TEST(BLEUUIDString, SixteenBitNumbersComeBackAsFourUpperCaseDigits) {
    EXPECT_EQ(bleUUIDString("180d"), "180D");
    EXPECT_EQ(bleUUIDString("0000180d-0000-1000-8000-00805f9b34fb"), "180D");
    EXPECT_EQ(bleUUIDString("0000180D"), "180D");
}

TEST(BLEUUIDString, OtherUUIDsComeBackInTheFullUpperCaseForm) {
    EXPECT_EQ(bleUUIDString("12345678"), "12345678-0000-1000-8000-00805F9B34FB");
    EXPECT_EQ(bleUUIDString("6e400001-b5a3-f393-e0a9-e50e24dcca9e"),
              "6E400001-B5A3-F393-E0A9-E50E24DCCA9E");
}

TEST(BLEUUIDString, OtherTextsAreRefused) {
    for (const char* bad :
         {"", "18", "180G", "123456789", "6e400001b5a3f393e0a9e50e24dcca9e",
          "6e400001-b5a3-f393-e0a9-e50e24dcca9", "zzzzzzzz-b5a3-f393-e0a9-e50e24dcca9e"})
        EXPECT_FALSE(bleUUIDString(bad)) << bad;
}

TEST(PeripheralIdentifier, IsAVersionFiveUUIDOfAdapterAndDeviceAddress) {
    // Expected values computed independently with Python's uuid.uuid5.
    EXPECT_EQ(peripheralIdentifier("00:01:02:03:04:05", "AA:BB:CC:DD:EE:01"),
              "98FB2DDF-61CA-5606-B668-CA6D55229D43");
    EXPECT_EQ(peripheralIdentifier("00:01:02:03:04:05", "aa:bb:cc:dd:ee:02"),
              "BA1FCB99-6FA1-58D8-AFE2-0A4BFCDEB257");
    EXPECT_EQ(peripheralIdentifier("01:02:03:04:05:06", "AA:BB:CC:DD:EE:01"),
              "255D4984-3E45-5F0C-921B-E6C72C841C19")
        << "the same device through another adapter is another peripheral";
}

TEST(PeripheralIdentifier, ParsingAcceptsEitherCaseAndGivesUpperCase) {
    EXPECT_EQ(peripheralIdentifierString("98fb2ddf-61ca-5606-b668-ca6d55229d43"),
              "98FB2DDF-61CA-5606-B668-CA6D55229D43");
    EXPECT_FALSE(peripheralIdentifierString("98fb2ddf61ca5606b668ca6d55229d43"));
    EXPECT_FALSE(peripheralIdentifierString(""));
}

TEST(CharacteristicProperties, BlueZFlagsMapOntoTheCoreBits) {
    EXPECT_EQ(characteristicPropertiesFromFlags({"read", "notify"}), 0x12u);
    EXPECT_EQ(characteristicPropertiesFromFlags({"broadcast", "write-without-response", "write",
                                                 "indicate", "authenticated-signed-writes",
                                                 "extended-properties"}),
              0xEDu);
    EXPECT_EQ(characteristicPropertiesFromFlags({"encrypt-read", "reliable-write", "x"}), 0u);
}

TEST(CharacteristicProperties, ObjectHasSixMembersAndDropsHigherBits) {
    auto object = propertiesObject(0x12 | 0x40 | 0x80);
    EXPECT_EQ(object.size(), 6u);
    EXPECT_EQ(object["read"], true);
    EXPECT_EQ(object["notify"], true);
    for (const char* off : {"broadcast", "writeWithoutResponse", "write", "indicate"})
        EXPECT_EQ(object[off], false) << off;
}
