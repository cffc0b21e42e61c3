#pragma once

// Case folding for protocol text (URL schemes and hosts, HTTP header names, UUIDs): ASCII
// letters only, whatever the process locale, so a Turkish or other locale never turns 'I'
// into something a comparison with "command" or "origin" does not expect.

#include <string>
#include <string_view>

namespace lumetta::base {

inline std::string asciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace lumetta::base
