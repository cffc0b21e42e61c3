#include "midi/MIDIEndpointDictionary.h"

#include <cstdlib>

namespace lumetta::midi {

nlohmann::json endpointDictionary(const MIDIEndpointProperties& properties) {
    nlohmann::json dictionary = nlohmann::json::object();
    dictionary[kMIDIEndpointUIDKey] = properties.uniqueID;

    std::string deviceName = properties.name;
    nlohmann::json index;  // null until known
    if (properties.device) {
        deviceName = properties.device->name;
        index = properties.device->uniqueID;
    }
    std::string displayName = properties.name;
    if (properties.entity) {
        displayName = properties.entity->name;
        if (displayName != deviceName)
            displayName = deviceName + " (" + properties.entity->name + ")";
        index = properties.entity->uniqueID;
    }
    if (index.is_null()) index = displayName;

    dictionary[kMIDIDeviceNameKey] = deviceName;
    dictionary[kMIDIEntityNameKey] = displayName;
    dictionary[kMIDIEndpointIndexKey] = std::move(index);
    return dictionary;
}

std::optional<int32_t> uniqueIDFromDictionary(const nlohmann::json& dictionary) {
    if (!dictionary.is_object()) return std::nullopt;
    auto it = dictionary.find(kMIDIEndpointUIDKey);
    if (it == dictionary.end()) return std::nullopt;
    // The page may hand the number back as a number of any kind or as text; both read as a
    // 32-bit integer the way the unique ID was written.
    if (it->is_number_integer()) return static_cast<int32_t>(it->get<int64_t>());
    if (it->is_number_unsigned()) return static_cast<int32_t>(it->get<uint64_t>());
    if (it->is_number_float()) {
        const double v = it->get<double>();
        if (!(v > -2147483649.0 && v < 4294967296.0)) return std::nullopt;
        return static_cast<int32_t>(static_cast<int64_t>(v));
    }
    if (it->is_string()) {
        const std::string& text = it->get_ref<const std::string&>();
        return static_cast<int32_t>(std::strtoll(text.c_str(), nullptr, 10));
    }
    return std::nullopt;
}

}  // namespace lumetta::midi
