#pragma once

// Timed MIDI byte packets as the service carries them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace lumetta::midi {

/// One packet seen in place: a host time stamp and the bytes, which stay valid only during the
/// call that hands the packet over.
struct MIDIPacket {
    uint64_t timeStamp = 0;  ///< host time (Timestamp.h)
    const uint8_t* data = nullptr;
    uint16_t length = 0;
};

/// A list of packets in one fixed 1,024-byte buffer, built on the stack for each send so that
/// sending never allocates. Each packet is a 64-bit time stamp, a 16-bit count, then the bytes.
class MIDIPacketList {
  public:
    static constexpr size_t kBufferSize = 1024;
    static constexpr size_t kPacketHeader = sizeof(uint64_t) + sizeof(uint16_t);
    static constexpr size_t kListHeader = sizeof(uint32_t);

    MIDIPacketList() = default;

    /// Appends one packet; false, and nothing added, when it would not fit in the buffer.
    bool add(uint64_t timeStamp, const uint8_t* bytes, size_t size) {
        if (size > UINT16_MAX || used_ + kPacketHeader + size > kBufferSize) return false;
        const auto length = static_cast<uint16_t>(size);
        std::memcpy(buffer_.data() + used_, &timeStamp, sizeof timeStamp);
        std::memcpy(buffer_.data() + used_ + sizeof timeStamp, &length, sizeof length);
        if (size > 0) std::memcpy(buffer_.data() + used_ + kPacketHeader, bytes, size);
        used_ += kPacketHeader + size;
        ++count_;
        return true;
    }

    /// Number of packets.
    uint32_t count() const { return count_; }

    /// Calls `f(const MIDIPacket&)` for every packet, in order.
    template <class F>
    void forEach(F&& f) const {
        size_t at = kListHeader;
        for (uint32_t i = 0; i < count_; ++i) {
            MIDIPacket packet;
            std::memcpy(&packet.timeStamp, buffer_.data() + at, sizeof packet.timeStamp);
            std::memcpy(&packet.length, buffer_.data() + at + sizeof packet.timeStamp,
                        sizeof packet.length);
            packet.data = buffer_.data() + at + kPacketHeader;
            f(static_cast<const MIDIPacket&>(packet));
            at += kPacketHeader + packet.length;
        }
    }

  private:
    std::array<uint8_t, kBufferSize> buffer_{};
    size_t used_ = kListHeader;
    uint32_t count_ = 0;
};

}  // namespace lumetta::midi
