#pragma once

// The callbacks of the MIDI client and its input port.

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>

namespace lumetta::midi {

/// An error reported by the MIDI service: domain OS status, the platform code and a message.
struct MIDIError {
    int64_t code = 0;
    std::string reason;
};

/// What a MIDIClient tells its owner. Every operation is optional (the defaults do nothing).
class MIDIClientDelegate {
  public:
    /// An input connection failed; `endpoint` is the dictionary the caller passed. Main thread.
    virtual void midiInputPortConnectFailed(const nlohmann::json& endpoint) { (void)endpoint; }
    /// An output connection was refused (the destination is offline). Main thread.
    virtual void midiOutputPortConnectFailed(const nlohmann::json& endpoint) { (void)endpoint; }
    /// A source, destination or device came or went. Main thread.
    virtual void midiObjectAddedRemoved() {}
    /// The service reported an I/O error. Main thread.
    virtual void midiErrorDidOccur(const MIDIError& error) { (void)error; }

  protected:
    ~MIDIClientDelegate() = default;
};

/// Receives whole MIDI messages from an input port.
class MIDIInputDelegate {
  public:
    /// One message: `bytes` is valid only during the call; `timeStamp` is in milliseconds.
    /// Called on the MIDI receive thread.
    virtual void midiInputMessage(const uint8_t* bytes, int32_t size, uint32_t timeStamp) = 0;

  protected:
    ~MIDIInputDelegate() = default;
};

}  // namespace lumetta::midi
