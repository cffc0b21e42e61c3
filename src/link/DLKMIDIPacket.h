#pragma once

// MIDI inside link frames: USB-MIDI 1.0 style 4-byte event packets (cable number and code index
// number, then up to three MIDI bytes). Pure logic with fixed buffers, no platform headers.

#include <array>
#include <cstddef>
#include <cstdint>

namespace lumetta::link {

/// Largest outgoing MIDI frame: header, time stamp and 126 packets.
inline constexpr size_t kDLKMIDIFrameSize = 512;
inline constexpr size_t kDLKMIDIPacketsPerFrame = (kDLKMIDIFrameSize - 8) / 4;
/// Largest SysEx message assembled per cable; longer ones are dropped whole.
inline constexpr size_t kDLKSysExSize = 512;
inline constexpr int kDLKCables = 16;

/// Where built frames go.
class DLKFrameSink {
  public:
    virtual ~DLKFrameSink() = default;
    virtual void writeFrame(const uint8_t* frame, size_t size) = 0;
};

/// Builds MIDI frames (type 2, sub-type 0) from one message in a fixed 512-byte buffer. A SysEx
/// that needs more than 126 packets continues in further frames, each with the same time stamp;
/// only the very last packet carries the end code.
class DLKMIDIEncoder {
  public:
    /// Writes the frames for `bytes` on `cable` (0-15; higher bits ignored) to `sink` and returns
    /// how many were written: 0 for null bytes or a size below 1. A first byte that starts no
    /// message still gives one frame holding only the time stamp.
    int encode(const uint8_t* bytes, int32_t size, int cable, uint32_t timeStamp,
               DLKFrameSink& sink);

  private:
    void begin(uint32_t timeStamp);
    void addPacket(uint8_t header, const uint8_t* bytes, size_t count);
    void flush(DLKFrameSink& sink);

    std::array<uint8_t, kDLKMIDIFrameSize> buffer_{};
    size_t fill_ = 0;
};

/// Receives the MIDI messages of link frames. Called on the thread that feeds the parser.
class DLKMIDIMessageHandler {
  public:
    virtual ~DLKMIDIMessageHandler() = default;
    virtual void midiInputMessage(const uint8_t* bytes, int32_t size, uint32_t timeStamp,
                                  int32_t cable) = 0;
};

/// Turns the payload of received MIDI frames back into messages. SysEx is assembled per cable
/// across frames in fixed 512-byte buffers; a message that outgrows its buffer is dropped whole.
class DLKMIDIParser {
  public:
    /// Delivers every message of one frame's payload (time stamp + packets) to `handler`; a
    /// trailing partial packet is ignored.
    void parse(const uint8_t* payload, size_t length, DLKMIDIMessageHandler& handler);
    /// Forgets every half-assembled SysEx.
    void reset();

  private:
    struct Cable {
        std::array<uint8_t, kDLKSysExSize> data{};
        size_t size = 0;
        bool overflowed = false;
    };
    void append(Cable& cable, const uint8_t* bytes, size_t count);
    std::array<Cable, kDLKCables> cables_{};
};

}  // namespace lumetta::link
