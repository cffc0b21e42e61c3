#pragma once

// The endpoint record shared with the page.

#include <nlohmann/json.hpp>

#include "midi/MIDIService.h"

namespace lumetta::midi {

inline constexpr const char* kMIDIDeviceNameKey = "MIDIDeviceNameKey";
inline constexpr const char* kMIDIEntityNameKey = "MIDIEntityNameKey";
inline constexpr const char* kMIDIEndpointUIDKey = "MIDIEndpointUIDKey";
inline constexpr const char* kMIDIEndpointIndexKey = "MIDIEndpointIndexKey";

/// The endpoint dictionary of one endpoint: device name, display name, unique ID and index.
nlohmann::json endpointDictionary(const MIDIEndpointProperties& properties);

/// "MIDIEndpointUIDKey" read as a signed 32-bit integer (a number or numeric text);
/// nullopt when the value is not a dictionary or has no such key.
std::optional<int32_t> uniqueIDFromDictionary(const nlohmann::json& dictionary);

}  // namespace lumetta::midi
