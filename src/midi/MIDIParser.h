#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "midi/MIDIDelegates.h"
#include "midi/MIDIPacket.h"

namespace lumetta::midi {

class MIDIInputPort;

/// Turns one source's packets into whole MIDI messages: running status, SysEx assembly up to
/// 512 bytes, selected system and real-time messages passed through, the rest dropped.
///
/// Real-time bytes (0xF8-0xFF) may come anywhere, even between the data bytes of another
/// message: they are delivered (or dropped) on their own and do not disturb that message.
/// A message cut at the end of a packet is completed from the source's next packet.
///
/// Only the MIDI receive thread parses, one packet at a time. Never allocates.
class MIDIParser {
  public:
    static constexpr int32_t kSysExCapacity = 512;

    MIDIParser() = default;
    MIDIParser(const MIDIParser&) = delete;
    MIDIParser& operator=(const MIDIParser&) = delete;

    /// Back to no running status, nothing collected. Only while no packet is being parsed.
    void reset();

    /// Makes the next packet start from reset(); any thread. The input port uses it when a
    /// source is (re)connected, which may happen while packets of that source are in flight.
    void requestReset() { resetRequested_.store(true, std::memory_order_release); }

    /// Parses one packet and hands each message to the port's current delegate.
    void parse(const MIDIPacket& packet, MIDIInputPort& port);

    /// Parses one packet and hands each message to `delegate` (may be null: messages are
    /// parsed and discarded).
    void parse(const MIDIPacket& packet, MIDIInputDelegate* delegate);

    /// The state byte: 0 idle, 1 inside a SysEx, 0x80-0xEF the running channel status.
    uint8_t running() const { return running_; }
    /// Bytes collected in the SysEx buffer.
    int32_t sysexLength() const { return sysex_len_; }

  private:
    void byte(uint8_t b, uint32_t timeStamp, MIDIInputDelegate* delegate);
    void deliver(const uint8_t* bytes, int32_t size, uint32_t timeStamp,
                 MIDIInputDelegate* delegate);

    uint8_t running_ = 0;
    int32_t sysex_len_ = 0;
    // The channel or system common message being completed: status and data so far.
    std::array<uint8_t, 3> message_{};
    uint8_t have_ = 0;  // data bytes in message_
    uint8_t need_ = 0;  // data bytes message_ still waits for; 0 = none pending
    std::array<uint8_t, kSysExCapacity> sysex_buf_{};
    std::atomic<bool> resetRequested_{false};
};

}  // namespace lumetta::midi
