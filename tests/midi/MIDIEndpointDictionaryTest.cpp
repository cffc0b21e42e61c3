#include <gtest/gtest.h>

#include "midi/MIDIEndpointDictionary.h"

using namespace lumetta::midi;
using nlohmann::json;

// The names and index a page sees for each way a port can sit under its device and entity.
TEST(EndpointDictionaryTest, NamesAndIndexFollowTheDeviceAndEntity) {
    const struct {
        MIDIEndpointProperties endpoint;
        json expected;
    } cases[] = {
        // An entity named like its device shows that name alone.
        {{"Port 1", 42, MIDIObjectIdentity{"Synth", 7}, MIDIObjectIdentity{"Synth", 9}, {}},
         {{"MIDIDeviceNameKey", "Synth"},
          {"MIDIEntityNameKey", "Synth"},
          {"MIDIEndpointUIDKey", 42},
          {"MIDIEndpointIndexKey", 7}}},
        // Another entity name is shown in parentheses after the device's.
        {{"Out", -5, MIDIObjectIdentity{"MIDI 2", 70}, MIDIObjectIdentity{"Interface", 90}, {}},
         {{"MIDIDeviceNameKey", "Interface"},
          {"MIDIEntityNameKey", "Interface (MIDI 2)"},
          {"MIDIEndpointUIDKey", -5},
          {"MIDIEndpointIndexKey", 70}}},
        // Without device and entity the endpoint's own name is everywhere.
        {{"Loose", 3, std::nullopt, std::nullopt, {}},
         {{"MIDIDeviceNameKey", "Loose"},
          {"MIDIEntityNameKey", "Loose"},
          {"MIDIEndpointUIDKey", 3},
          {"MIDIEndpointIndexKey", "Loose"}}},
        // A device without entity gives the device's id as the index.
        {{"Port", 3, std::nullopt, MIDIObjectIdentity{"Dev", 11}, {}},
         {{"MIDIDeviceNameKey", "Dev"},
          {"MIDIEntityNameKey", "Port"},
          {"MIDIEndpointUIDKey", 3},
          {"MIDIEndpointIndexKey", 11}}},
    };
    for (const auto& c : cases) {
        json d = endpointDictionary(c.endpoint);
        for (const auto& [key, value] : c.expected.items())
            EXPECT_EQ(d[key], value) << c.endpoint.name << " " << key;
    }
    EXPECT_EQ(endpointDictionary(cases[2].endpoint).size(), 4u);
}

TEST(EndpointDictionaryTest, UidIsReadFromNumbersAndText) {
    EXPECT_EQ(uniqueIDFromDictionary(json{{"MIDIEndpointUIDKey", -12}}), -12);
    EXPECT_EQ(uniqueIDFromDictionary(json{{"MIDIEndpointUIDKey", 4294967295u}}), -1);
    EXPECT_EQ(uniqueIDFromDictionary(json{{"MIDIEndpointUIDKey", "77"}}), 77);
    EXPECT_EQ(uniqueIDFromDictionary(json{{"MIDIEndpointUIDKey", 12.0}}), 12);
    EXPECT_EQ(uniqueIDFromDictionary(json{{"other", 1}}), std::nullopt);
    EXPECT_EQ(uniqueIDFromDictionary(json(5)), std::nullopt);
}
