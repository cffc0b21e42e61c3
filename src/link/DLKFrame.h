#pragma once

// The device link's framing: a 4-byte header (type, sub-type, big-endian payload length) and the
// payload. Pure logic, no platform headers: the connection and the device simulator share it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lumetta::link {

/// Largest payload a received frame may announce; a longer header means the stream is lost.
inline constexpr size_t kDLKMaxFramePayload = 32768;
inline constexpr size_t kDLKFrameHeaderSize = 4;

/// Frame types of the link.
enum DLKFrameType : uint8_t {
    kDLKFrameControl = 0,    ///< 0/0 keep-alive, 0/1 keep-alive time-out
    kDLKFrameTimeStamp = 1,  ///< device time stamps 0-4
    kDLKFrameMIDI = 2,       ///< time stamp then USB-MIDI event packets
    kDLKFrameStatus = 3,     ///< the 32-byte audio status record
    kDLKFrameAudio = 4,      ///< audio stream control
    kDLKFrameStreamingDelay = 7,
};

/// Sub-types of the audio control frames (type 4).
enum DLKAudioControl : uint8_t {
    kDLKStartOutput = 1,
    kDLKPauseOutput = 2,
    kDLKStopOutput = 3,
    kDLKStartInput = 4,
    kDLKPauseInput = 5,
    kDLKStopInput = 6,
    kDLKOutputVolume = 9,
    kDLKInputVolume = 10,
    kDLKInputMode = 11,
};

inline void putBE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void putBE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
inline uint16_t getBE16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t getBE32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

/// A frame to send, built without allocation: header plus up to 8 payload bytes (every control
/// frame fits).
struct DLKControlFrame {
    std::array<uint8_t, kDLKFrameHeaderSize + 8> bytes{};
    size_t size = kDLKFrameHeaderSize;

    DLKControlFrame(uint8_t type, uint8_t sub) {
        bytes[0] = type;
        bytes[1] = sub;
    }
    DLKControlFrame& u8(uint8_t v) {
        bytes[size++] = v;
        putBE16(&bytes[2], static_cast<uint16_t>(size - kDLKFrameHeaderSize));
        return *this;
    }
    DLKControlFrame& u16(uint16_t v) {
        return u8(static_cast<uint8_t>(v >> 8)).u8(static_cast<uint8_t>(v));
    }
    DLKControlFrame& u32(uint32_t v) {
        return u16(static_cast<uint16_t>(v >> 16)).u16(static_cast<uint16_t>(v));
    }
    const uint8_t* data() const { return bytes.data(); }
};

/// Writes a header for `type`/`sub` with `length` payload bytes to `out` (4 bytes).
void writeFrameHeader(uint8_t* out, uint8_t type, uint8_t sub, uint16_t length);

/// A whole frame as bytes (header + payload); for tests and the simulator.
std::vector<uint8_t> encodeFrame(uint8_t type, uint8_t sub, const std::vector<uint8_t>& payload);

/// Cuts a received byte stream into frames. Bytes may arrive in any pieces; each whole frame is
/// handed over once. Owns one fixed 32,768-byte payload buffer; no allocation per frame.
class DLKFrameReader {
  public:
    /// How feeding ended.
    enum class Outcome {
        ok,            ///< all bytes consumed; a frame may be half-read
        badLength,     ///< a header announced more than 32,768 bytes: framing is lost
        handlerFailed  ///< the handler refused a frame (a protocol violation)
    };

    /// Receives one whole frame; returns false when the frame breaks the protocol.
    class Handler {
      public:
        virtual ~Handler() = default;
        virtual bool frameReceived(uint8_t type, uint8_t sub, const uint8_t* payload,
                                   size_t length) = 0;
    };

    DLKFrameReader();
    DLKFrameReader(const DLKFrameReader&) = delete;
    DLKFrameReader& operator=(const DLKFrameReader&) = delete;

    /// Consumes `size` bytes, handing every completed frame to `handler`. Stops at the first
    /// violation; the reader is then unusable until `reset`.
    Outcome feed(const uint8_t* bytes, size_t size, Handler& handler);

    /// True while a frame has been started but not completed.
    bool midFrame() const { return headerFill_ > 0; }

    /// Forgets any partial frame.
    void reset() { headerFill_ = 0, payloadFill_ = 0; }

  private:
    std::array<uint8_t, kDLKFrameHeaderSize> header_{};
    size_t headerFill_ = 0;
    size_t payloadFill_ = 0;
    std::vector<uint8_t> payload_;  // kDLKMaxFramePayload bytes, allocated once
};

/// One stream's part of the audio status record (16 bytes on the wire).
struct NET_AUDIO_STATUS {
    uint8_t status = 0;
    uint8_t volume = 0;
    int8_t peakPowerL = -120;
    int8_t peakPowerR = -120;
    uint32_t frame = 0;  ///< position in frames at 44,100 per second
};

/// The 32-byte audio status record a status frame carries: output then input.
struct KNP_AUDIO_STATUS {
    NET_AUDIO_STATUS output;
    NET_AUDIO_STATUS input;

    static constexpr size_t kWireSize = 32;
    /// Reads the record from exactly kWireSize bytes.
    static KNP_AUDIO_STATUS fromBytes(const uint8_t* bytes);
    /// Writes the record as kWireSize bytes (reserved bytes 0); for the simulator and tests.
    void toBytes(uint8_t* out) const;
};

/// Readable form of bytes for logs: upper-case hex, no separators.
std::string hexText(const uint8_t* bytes, size_t size);

}  // namespace lumetta::link
