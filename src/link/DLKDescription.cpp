#include "link/DLKDescription.h"

#include <cstdio>
#include <cstring>

#include "link/DLKFrame.h"

namespace lumetta::link {

namespace {

constexpr char kMagic[6] = {'K', 'D', 'D', 'P', 'v', '1'};

// Text fields may fill their whole width without a terminator.
std::string fieldText(const uint8_t* p, size_t width) {
    size_t n = 0;
    while (n < width && p[n] != 0) ++n;
    std::string text(reinterpret_cast<const char*>(p), n);
    // The dictionary travels as JSON text; bytes outside ASCII would make it unwritable.
    for (char& c : text)
        if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    return text;
}

void putField(uint8_t* p, size_t width, const std::string& text) {
    std::memcpy(p, text.data(), std::min(width, text.size()));
}

}  // namespace

std::array<uint8_t, kDLKAnnouncementSize> makeAnnouncement(uint16_t port) {
    std::array<uint8_t, kDLKAnnouncementSize> d{};
    std::memcpy(d.data(), kMagic, sizeof kMagic);
    putBE16(&d[6], port);
    return d;
}

std::optional<uint16_t> parseAnnouncement(const uint8_t* bytes, size_t size) {
    if (size != kDLKAnnouncementSize || std::memcmp(bytes, kMagic, sizeof kMagic) != 0)
        return std::nullopt;
    return getBE16(bytes + 6);
}

std::array<uint8_t, kDLKDescriptionSize> DLKDeviceDescription::toBytes() const {
    std::array<uint8_t, kDLKDescriptionSize> d{};
    std::memcpy(d.data(), kMagic, sizeof kMagic);
    putBE16(&d[6], portNo);
    putBE32(&d[8], number);
    d[12] = caps;
    d[13] = image;
    d[14] = status;
    putField(&d[20], 16, manufacturer);
    putField(&d[36], 8, model);
    putField(&d[44], 8, version);
    putField(&d[52], 16, name);
    return d;
}

std::optional<DLKDeviceDescription> parseDescription(const uint8_t* bytes, size_t size,
                                                     uint32_t peerAddress) {
    if (size != kDLKDescriptionSize || std::memcmp(bytes, kMagic, sizeof kMagic) != 0)
        return std::nullopt;
    DLKDeviceDescription d;
    d.portNo = getBE16(bytes + 6);
    d.number = getBE32(bytes + 8);
    d.caps = bytes[12];
    d.image = bytes[13];
    d.status = bytes[14];
    if (peerAddress == 0 || d.portNo == 0 || d.caps == 0) return std::nullopt;
    d.manufacturer = fieldText(bytes + 20, 16);
    d.model = fieldText(bytes + 36, 8);
    d.version = fieldText(bytes + 44, 8);
    d.name = fieldText(bytes + 52, 16);
    return d;
}

std::string dottedAddress(uint32_t a) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255,
                  a & 255);
    return text;
}

nlohmann::json deviceDictionary(const DLKDeviceDescription& d, uint32_t peerAddress) {
    char number[9];
    std::snprintf(number, sizeof number, "%08X", d.number);
    return {
        {kDLKDeviceAddressKey, dottedAddress(peerAddress)},
        {kDLKDevicePortNoKey, d.portNo},
        {kDLKDeviceUIDKey, d.model + "-" + number},
        {kDLKDeviceCapsKey, d.caps},
        {kDLKDeviceImageKey, d.image},
        {kDLKDeviceStatusKey, d.status},
        {kDLKDeviceManufacturerKey, d.manufacturer},
        {kDLKDeviceVersionKey, d.version},
        {kDLKDeviceNameKey, d.name},
    };
}

}  // namespace lumetta::link
