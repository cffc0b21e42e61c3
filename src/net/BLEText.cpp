#include "net/BLEText.h"

#include <glib.h>

#include <array>
#include <cctype>

#include "bridge/Result.h"

namespace lumetta::net {

namespace {

constexpr std::string_view kBaseSuffix = "-0000-1000-8000-00805F9B34FB";

// The name space of peripheral identifiers (itself uuid5(URL, "https://velmar.com/lumetta/
// ble-peripheral")): changing it would give every peripheral a new identifier.
constexpr std::array<uint8_t, 16> kPeripheralNamespace = {
    0xbe, 0x7c, 0xca, 0xeb, 0x17, 0x55, 0x59, 0x88, 0xa3, 0x0a, 0x0b, 0x37, 0x05, 0xa9, 0x34, 0x8a};

bool allHex(std::string_view text) {
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

std::string upper(std::string_view text) {
    std::string out(text);
    for (auto& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

bool isLongForm(std::string_view text) {
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

std::string hex(const uint8_t* bytes, size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0xF]);
    }
    return out;
}

}  // namespace

std::optional<std::string> bleUUIDString(std::string_view text) {
    std::string full;
    if (text.size() == 4 && allHex(text)) {
        full = "0000" + upper(text) + std::string(kBaseSuffix);
    } else if (text.size() == 8 && allHex(text)) {
        full = upper(text) + std::string(kBaseSuffix);
    } else if (isLongForm(text)) {
        full = upper(text);
    } else {
        return std::nullopt;
    }
    if (full.compare(0, 4, "0000") == 0 && full.compare(8, std::string::npos, kBaseSuffix) == 0)
        return full.substr(4, 4);
    return full;
}

std::optional<std::string> peripheralIdentifierString(std::string_view text) {
    if (!isLongForm(text)) return std::nullopt;
    return upper(text);
}

std::string peripheralIdentifier(std::string_view adapterAddress, std::string_view deviceAddress) {
    std::string name = upper(adapterAddress) + "/" + upper(deviceAddress);
    std::vector<uint8_t> data(kPeripheralNamespace.begin(), kPeripheralNamespace.end());
    data.insert(data.end(), name.begin(), name.end());
    GChecksum* sha1 = g_checksum_new(G_CHECKSUM_SHA1);
    g_checksum_update(sha1, data.data(), static_cast<gssize>(data.size()));
    std::array<uint8_t, 20> digest{};
    gsize length = digest.size();
    g_checksum_get_digest(sha1, digest.data(), &length);
    g_checksum_free(sha1);
    digest[6] = static_cast<uint8_t>((digest[6] & 0x0F) | 0x50);  // version 5
    digest[8] = static_cast<uint8_t>((digest[8] & 0x3F) | 0x80);  // RFC 4122 variant
    const uint8_t* d = digest.data();
    return hex(d, 4) + "-" + hex(d + 4, 2) + "-" + hex(d + 6, 2) + "-" + hex(d + 8, 2) + "-" +
           hex(d + 10, 6);
}

uint32_t characteristicPropertiesFromFlags(const std::vector<std::string>& flags) {
    uint32_t mask = 0;
    for (const auto& flag : flags) {
        if (flag == "broadcast")
            mask |= bleprop::Broadcast;
        else if (flag == "read")
            mask |= bleprop::Read;
        else if (flag == "write-without-response")
            mask |= bleprop::WriteWithoutResponse;
        else if (flag == "write")
            mask |= bleprop::Write;
        else if (flag == "notify")
            mask |= bleprop::Notify;
        else if (flag == "indicate")
            mask |= bleprop::Indicate;
        else if (flag == "authenticated-signed-writes")
            mask |= bleprop::AuthenticatedSignedWrites;
        else if (flag == "extended-properties")
            mask |= bleprop::ExtendedProperties;
    }
    return mask;
}

nlohmann::json propertiesObject(uint32_t mask) {
    return {
        {"broadcast", (mask & bleprop::Broadcast) != 0},
        {"read", (mask & bleprop::Read) != 0},
        {"writeWithoutResponse", (mask & bleprop::WriteWithoutResponse) != 0},
        {"write", (mask & bleprop::Write) != 0},
        {"notify", (mask & bleprop::Notify) != 0},
        {"indicate", (mask & bleprop::Indicate) != 0},
    };
}

std::string eventJSON(const nlohmann::json& value) {
    if (auto text = bridge::jsonStringFromObject(value)) return *text;
    return value.dump(4, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json characteristicAddress(const std::string& peripheral, const std::string& service,
                                     const std::string& characteristic) {
    return {{"BLEPeripheralKey", peripheral},
            {"BLEServiceKey", service},
            {"BLECharacteristicKey", characteristic}};
}

}  // namespace lumetta::net
