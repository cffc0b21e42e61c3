#pragma once

// Discovery's wire formats: the 8-byte "KDDPv1" announcement, the 84-byte device description and
// the device dictionary built from it. Pure logic, no platform headers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace lumetta::link {

inline constexpr uint16_t kDLKDiscoveryPort = 9314;
inline constexpr size_t kDLKAnnouncementSize = 8;
inline constexpr size_t kDLKDescriptionSize = 84;

// Keys of the device dictionary, as the page sees them.
inline constexpr const char* kDLKDeviceAddressKey = "DLKDeviceAddressKey";
inline constexpr const char* kDLKDevicePortNoKey = "DLKDevicePortNoKey";
inline constexpr const char* kDLKDeviceUIDKey = "DLKDeviceUIDKey";
inline constexpr const char* kDLKDeviceCapsKey = "DLKDeviceCapsKey";
inline constexpr const char* kDLKDeviceImageKey = "DLKDeviceImageKey";
inline constexpr const char* kDLKDeviceStatusKey = "DLKDeviceStatusKey";
inline constexpr const char* kDLKDeviceManufacturerKey = "DLKDeviceManufacturerKey";
inline constexpr const char* kDLKDeviceVersionKey = "DLKDeviceVersionKey";
inline constexpr const char* kDLKDeviceNameKey = "DLKDeviceNameKey";

/// "KDDPv1" followed by the listening port, high byte first.
std::array<uint8_t, kDLKAnnouncementSize> makeAnnouncement(uint16_t port);

/// The port an announcement names, or nullopt when it is not one.
std::optional<uint16_t> parseAnnouncement(const uint8_t* bytes, size_t size);

/// What a device says about itself.
struct DLKDeviceDescription {
    uint16_t portNo = 0;
    uint32_t number = 0;
    uint8_t caps = 0;
    uint8_t image = 0;
    uint8_t status = 0;
    std::string manufacturer;  ///< at most 16 bytes travel
    std::string model;         ///< at most 8
    std::string version;       ///< at most 8
    std::string name;          ///< at most 16

    /// The 84 bytes a device writes; longer texts are cut to their field.
    std::array<uint8_t, kDLKDescriptionSize> toBytes() const;
};

/// Reads a description received from `peerAddress` (IPv4, host byte order). Nullopt unless it
/// is exactly 84 bytes with the magic, a non-zero address, port and capabilities.
std::optional<DLKDeviceDescription> parseDescription(const uint8_t* bytes, size_t size,
                                                     uint32_t peerAddress);

/// The device dictionary: dotted address, port, "MODEL-%08X" UID, numbers and texts.
nlohmann::json deviceDictionary(const DLKDeviceDescription& description, uint32_t peerAddress);

/// Dotted-decimal text of an IPv4 address in host byte order.
std::string dottedAddress(uint32_t address);

/// An interface's directed broadcast address: its address with every host bit set.
inline uint32_t directedBroadcast(uint32_t address, uint32_t netmask) {
    return address | ~netmask;
}

}  // namespace lumetta::link
