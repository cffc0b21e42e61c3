#include "bridge/Result.h"

#include <cinttypes>
#include <cstdio>

namespace lumetta::bridge {

std::string resultVoid() {
    return "v";
}

std::string resultError(std::string_view reason) {
    return "e" + std::string(reason);
}

std::string resultString(std::string_view text) {
    return "s" + std::string(text);
}

std::string resultBool(bool value) {
    return value ? "b1" : "b";
}

std::string resultInt(int64_t value) {
    return "d" + std::to_string(value);
}

std::string resultUInt(uint64_t value) {
    return "d" + std::to_string(value);
}

std::string resultFloat(float value) {
    char buf[512];
    std::snprintf(buf, sizeof buf, "f%f", static_cast<double>(value));
    return buf;
}

std::optional<std::string> jsonStringFromObject(const nlohmann::json& value) {
    if (!value.is_object() && !value.is_array()) return std::nullopt;
    try {
        // Text that is not UTF-8 (a file name from a foreign system, say) shows its bad bytes
        // as U+FFFD rather than emptying the whole result.
        return value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

std::optional<nlohmann::json> jsonObjectFromString(std::string_view text) {
    auto parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_discarded()) return std::nullopt;
    return parsed;
}

std::string hexStringFromBytes(const uint8_t* bytes, size_t count) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    out.resize(count * 2);
    for (size_t i = 0; i < count; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 15];
    }
    return out;
}

static uint8_t nibble(char c) {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
    return 0;
}

std::vector<uint8_t> dataFromHexString(std::string_view text) {
    std::vector<uint8_t> out;
    out.reserve(text.size() / 2);
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(nibble(text[i]) << 4 | nibble(text[i + 1])));
    }
    return out;
}

}  // namespace lumetta::bridge
