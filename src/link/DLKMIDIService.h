#pragma once

#include <cstdint>

#include "link/DLKMIDIPacket.h"

namespace lumetta::link {

class DLKConnection;

/// Receives MIDI from the device. Called on the main thread.
class DLKMIDIInputDelegate {
  public:
    virtual ~DLKMIDIInputDelegate() = default;
    virtual void midiInputMessage(const uint8_t* bytes, int32_t size, uint32_t timeStamp,
                                  int32_t cable) = 0;
};

/// MIDI in both directions over a device connection. Owned by its connection; main thread only
/// (the send buffer is shared by every send).
class DLKMIDIService final : private DLKMIDIMessageHandler {
  public:
    explicit DLKMIDIService(DLKConnection& connection) : connection_(connection) {}
    DLKMIDIService(const DLKMIDIService&) = delete;
    DLKMIDIService& operator=(const DLKMIDIService&) = delete;

    /// `send(bytes, size, 0)`.
    void send(const uint8_t* bytes, int32_t size) { send(bytes, size, 0); }
    /// Sends one message on `cable` (0-15) as one or, for a long SysEx, several MIDI frames.
    /// Nothing for null bytes or a size below 1.
    void send(const uint8_t* bytes, int32_t size, int cable);
    /// Delivers the messages of one received MIDI frame to the delegate.
    void parse(const uint8_t* payload, size_t length);
    /// Forgets half-assembled SysEx messages.
    void reset() { parser_.reset(); }

    bool streaming() const { return streaming_; }
    /// When on, outgoing frames carry the current time in milliseconds; nothing is sent.
    void setStreaming(bool on) { streaming_ = on; }
    double streamingDelayTime() const { return streamingDelayTime_; }
    /// Stores the delay and sends it to the device in milliseconds (frame 7/0).
    void setStreamingDelayTime(double seconds);

    void setDelegate(DLKMIDIInputDelegate* delegate) { delegate_ = delegate; }
    DLKMIDIInputDelegate* delegate() const { return delegate_; }

  private:
    void midiInputMessage(const uint8_t* bytes, int32_t size, uint32_t timeStamp,
                          int32_t cable) override;

    DLKConnection& connection_;
    DLKMIDIInputDelegate* delegate_ = nullptr;
    DLKMIDIEncoder encoder_;
    DLKMIDIParser parser_;
    bool streaming_ = false;
    double streamingDelayTime_ = 1.0;
};

}  // namespace lumetta::link
