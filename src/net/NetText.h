#pragma once

// How the network modules read the numbers the page passes as text.

#include <cstdint>
#include <cstdlib>

#include "bridge/BridgeText.h"

namespace lumetta::net {

/// A signed decimal number the way the platform's string-to-int conversion reads it: leading
/// white space skipped, an optional sign, digits up to the first non-digit; 0 when absent or
/// not a number; clamped to 32 bits.
inline int32_t intValue(const bridge::Arg& text) {
    if (!text) return 0;
    long long value = std::strtoll(text->c_str(), nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

}  // namespace lumetta::net
