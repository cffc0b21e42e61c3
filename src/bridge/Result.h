#pragma once

// Bridge results: a type tag followed by the value, and the shared conversions modules use.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumetta::bridge {

std::string resultVoid();
std::string resultError(std::string_view reason);
std::string resultString(std::string_view text);
std::string resultBool(bool value);
std::string resultInt(int64_t value);
std::string resultUInt(uint64_t value);
std::string resultFloat(float value);

/// Pretty-printed JSON for an object or array; nullopt for a scalar. Bytes of its texts that
/// are not UTF-8 are written as U+FFFD.
std::optional<std::string> jsonStringFromObject(const nlohmann::json& value);

/// Parses JSON text, scalars allowed; nullopt when the text is not valid JSON.
std::optional<nlohmann::json> jsonObjectFromString(std::string_view text);

/// Two upper-case hex digits a byte, no separators.
std::string hexStringFromBytes(const uint8_t* bytes, size_t count);
inline std::string hexStringFromBytes(const std::vector<uint8_t>& bytes) {
    return hexStringFromBytes(bytes.data(), bytes.size());
}

/// Pairs of hex digits of either case; any other character counts as 0; an odd last one is
/// dropped.
std::vector<uint8_t> dataFromHexString(std::string_view text);

}  // namespace lumetta::bridge
