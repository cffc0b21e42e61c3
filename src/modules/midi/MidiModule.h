#pragma once

#include <memory>
#include <mutex>

#include "bridge/Module.h"
#include "bridge/NativeCall.h"
#include "midi/MIDIClient.h"

namespace lumetta::modules::midi {

/// Turns the default MIDI client's callbacks into "midi" events. Neither copyable nor movable:
/// the client and its input port point at it.
class _MIDIClientDelegate final : public ::lumetta::midi::MIDIClientDelegate,
                                  public ::lumetta::midi::MIDIInputDelegate {
  public:
    _MIDIClientDelegate() = default;
    _MIDIClientDelegate(const _MIDIClientDelegate&) = delete;
    _MIDIClientDelegate& operator=(const _MIDIClientDelegate&) = delete;

    /// The bridge that hears the events; not owned, set before any callback.
    bridge::NativeCall* native = nullptr;

    /// "midi" "connectfailed" with the dictionary's JSON text. Main thread.
    void midiInputPortConnectFailed(const nlohmann::json& endpoint) override;
    void midiOutputPortConnectFailed(const nlohmann::json& endpoint) override;
    /// "midi" "changed". Main thread.
    void midiObjectAddedRemoved() override;
    /// "midi" "error" with the code. Main thread.
    void midiErrorDidOccur(const ::lumetta::midi::MIDIError& error) override;
    /// "midi" "message" with the hex bytes and the time stamp. MIDI receive thread.
    void midiInputMessage(const uint8_t* bytes, int32_t size, uint32_t timeStamp) override;
};

/// The `midi` module: owns the default MIDI client (UID 0) and its adapter, and registers the
/// `$$midi_*` functions. Built first of all modules, on the main thread.
class MidiModule final : public bridge::Module {
  public:
    explicit MidiModule(bridge::ModuleContext& ctx);
    /// The client goes first, so no callback reaches the adapter after it.
    ~MidiModule() override;

    /// Announces the first MIDI state when any endpoint exists. Main thread.
    void didCreateAll() override;

    /// The default client; lives as long as the module.
    ::lumetta::midi::MIDIClient& client() { return *client_; }

  private:
    std::mutex callLock_;  // bridge functions may come from the main and the loopback thread
    _MIDIClientDelegate adapter_;
    std::unique_ptr<::lumetta::midi::MIDIClient> client_;
};

/// The `midi` module's descriptor (it must be the first module).
bridge::ModuleDescriptor descriptor();

}  // namespace lumetta::modules::midi
