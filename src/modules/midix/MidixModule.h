#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "bridge/Module.h"
#include "bridge/NativeCall.h"
#include "midi/MIDIClient.h"

namespace lumetta::modules::midix {

/// Turns one extra client's callbacks into "midix" events carrying its index, and echoes its
/// incoming messages to its own destinations while thru is on.
class _MIDIXClientDelegate final : public ::lumetta::midi::MIDIClientDelegate,
                                   public ::lumetta::midi::MIDIInputDelegate {
  public:
    _MIDIXClientDelegate() = default;
    _MIDIXClientDelegate(const _MIDIXClientDelegate&) = delete;
    _MIDIXClientDelegate& operator=(const _MIDIXClientDelegate&) = delete;

    /// Echo incoming messages to the client's connected destinations; set on the main thread,
    /// read on the MIDI receive thread.
    std::atomic<bool> thru{false};
    /// The client's index in the module's list.
    int32_t cid = 0;
    /// The bridge; not owned.
    bridge::NativeCall* native = nullptr;
    /// The client this adapter serves; not owned (the module owns both, the client going first).
    ::lumetta::midi::MIDIClient* client = nullptr;

    /// "midix" "connectfailed" cid json. Main thread.
    void midiInputPortConnectFailed(const nlohmann::json& endpoint) override;
    void midiOutputPortConnectFailed(const nlohmann::json& endpoint) override;
    /// "midix" "changed", from the adapter of client 0 only. Main thread.
    void midiObjectAddedRemoved() override;
    /// "midix" "error" cid code. Main thread.
    void midiErrorDidOccur(const ::lumetta::midi::MIDIError& error) override;
    /// Thru, then "midix" "message" cid hex time. MIDI receive thread.
    void midiInputMessage(const uint8_t* bytes, int32_t size, uint32_t timeStamp) override;
};

/// The `midix` module: further MIDI clients (UIDs 10, 11, ...) addressed by index, each with
/// its own adapter; created once by `$$midix_client::`, at most kMaxClients of them.
class MidixModule final : public bridge::Module {
  public:
    /// The most clients `$$midix_client::` makes; a larger count answers "e" and makes none.
    /// Each client holds a sequencer client (a system-wide resource shared with every other
    /// program) and a receive thread.
    static constexpr int32_t kMaxClients = 32;

    struct Entry {
        std::unique_ptr<_MIDIXClientDelegate> adapter;
        std::unique_ptr<::lumetta::midi::MIDIClient> client;
    };

    explicit MidixModule(bridge::ModuleContext& ctx);
    /// Takes the clients down from the last to the first.
    ~MidixModule() override;

    /// Number of clients. Any thread.
    size_t clientCount();

  private:
    // Makes `count` clients, all or none: a failure part-way takes the made ones down again
    // and throws a BridgeError.
    void createClients(int32_t count);
    // The client at `index` or a BridgeError.
    Entry& entry(const bridge::Arg& index);

    bridge::NativeCall& native_;
    bridge::MainThread& mainThread_;
    std::mutex lock_;  // guards clients_ against calls from the loopback thread
    std::vector<Entry> clients_;
};

/// The `midix` module's descriptor.
bridge::ModuleDescriptor descriptor();

}  // namespace lumetta::modules::midix
