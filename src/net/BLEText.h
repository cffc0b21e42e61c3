#pragma once

// The Bluetooth LE texts the page sees: UUID forms, stable peripheral identifiers, property
// masks and the "ble" events. No Bluetooth stack headers here.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumetta::net {

/// A BLE UUID from one of the accepted forms (4 or 8 hex digits, or the 36-character form with
/// dashes), in its event form: 16-bit assigned numbers as 4 upper-case digits, every other UUID
/// in the full upper-case form. nullopt for any other text. Also accepts BlueZ's lower-case
/// 128-bit texts, so both sides compare equal in this form.
std::optional<std::string> bleUUIDString(std::string_view text);

/// A peripheral identifier (8-4-4-4-12 hex, either case) in upper case; nullopt otherwise.
std::optional<std::string> peripheralIdentifierString(std::string_view text);

/// The stable identifier of the device `deviceAddress` seen through the adapter
/// `adapterAddress` (both "AA:BB:..." in either case): a name-based (SHA-1, version 5) UUID in
/// upper case, so the same device on the same adapter keeps its identifier across runs.
std::string peripheralIdentifier(std::string_view adapterAddress, std::string_view deviceAddress);

/// Characteristic property bits (Bluetooth Core numbering).
namespace bleprop {
inline constexpr uint32_t Broadcast = 0x01;
inline constexpr uint32_t Read = 0x02;
inline constexpr uint32_t WriteWithoutResponse = 0x04;
inline constexpr uint32_t Write = 0x08;
inline constexpr uint32_t Notify = 0x10;
inline constexpr uint32_t Indicate = 0x20;
inline constexpr uint32_t AuthenticatedSignedWrites = 0x40;
inline constexpr uint32_t ExtendedProperties = 0x80;
}  // namespace bleprop

/// The property mask of BlueZ's characteristic flag names ("read", "write-without-response",
/// ...); names without a property bit (encryption requirements and the like) are ignored.
uint32_t characteristicPropertiesFromFlags(const std::vector<std::string>& flags);

/// The six-member properties object of a property mask.
nlohmann::json propertiesObject(uint32_t mask);

/// Pretty-printed JSON for an event field; text that is not UTF-8 is replaced, never dropped.
std::string eventJSON(const nlohmann::json& value);

/// The characteristic address object of the three identifying texts.
nlohmann::json characteristicAddress(const std::string& peripheral, const std::string& service,
                                     const std::string& characteristic);

}  // namespace lumetta::net
