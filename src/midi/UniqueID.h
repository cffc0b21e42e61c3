#pragma once

#include <cstdint>
#include <string_view>

namespace lumetta::midi {

/// A unique ID derived from stable names, so that the same device keeps its ID across
/// replugs and restarts: 32-bit FNV-1a of the text, never 0.
inline int32_t stableUniqueID(std::string_view text) {
    uint32_t hash = 2166136261u;
    for (char c : text) {
        hash ^= static_cast<uint8_t>(c);
        hash *= 16777619u;
    }
    if (hash == 0) hash = 1;
    return static_cast<int32_t>(hash);
}

}  // namespace lumetta::midi
