#include "modules/audio/AudioArguments.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace lumetta::modules::audio {

namespace {

// The longest prefix after blanks that reads as a decimal number; empty when none.
std::string decimalPrefix(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    size_t start = i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t digits = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
    }
    if (digits == 0) return {};
    size_t mantissaEnd = i;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
        size_t expDigits = 0;
        while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) ++j, ++expDigits;
        if (expDigits > 0) mantissaEnd = j;
    }
    return s.substr(start, mantissaEnd - start);
}

}  // namespace

double leadingNumber(const bridge::Arg& text) {
    if (!text) return 0.0;
    std::string prefix = decimalPrefix(*text);
    if (prefix.empty()) return 0.0;
    double value = std::strtod(prefix.c_str(), nullptr);
    return std::isfinite(value) ? value : 0.0;
}

int64_t leadingInteger(const bridge::Arg& text) {
    double value = std::trunc(leadingNumber(text));
    if (value >= 9.2e18) return std::numeric_limits<int64_t>::max();
    if (value <= -9.2e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);
}

}  // namespace lumetta::modules::audio
