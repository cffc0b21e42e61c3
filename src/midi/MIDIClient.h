#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "bridge/MainThread.h"
#include "midi/MIDIDelegates.h"
#include "midi/MIDIInputPort.h"
#include "midi/MIDIOutputPort.h"
#include "midi/MIDIService.h"

namespace lumetta::midi {

/// One client of the MIDI service with its input and output port.
///
/// Made, used and destroyed on the main thread. The service's notices (objects added and
/// removed, I/O errors) arrive on its receive thread and are handed to the main thread, where
/// the delegate hears of them; packets stay on the receive thread (MIDIInputPort::read).
class MIDIClient final : private MIDIServiceListener {
  public:
    /// The name of client `uid`: the application id, ".midi#" and the UID.
    static std::string clientName(int32_t uid);

    /// A client on `service`; a null service is a client whose creation failed: it has no
    /// ports and every operation through it does nothing. `mainThread` outlives the client.
    MIDIClient(int32_t uid, std::unique_ptr<MIDIService> service, bridge::MainThread& mainThread);
    /// Stops the service's receive thread, disconnects every source, then closes the client.
    ~MIDIClient();
    MIDIClient(const MIDIClient&) = delete;
    MIDIClient& operator=(const MIDIClient&) = delete;

    int32_t uid() const { return uid_; }
    /// The service's number of this client; 0 when creation failed.
    uint32_t clientRef() const { return service_ ? service_->clientRef() : 0; }
    /// The service, or null when creation failed.
    MIDIService* service() const { return service_.get(); }

    /// Not owned; main thread.
    MIDIClientDelegate* delegate() const { return delegate_; }
    void setDelegate(MIDIClientDelegate* delegate) { delegate_ = delegate; }

    /// Owned by the client; null when creation failed.
    MIDIInputPort* inputPort() const { return inputPort_.get(); }
    MIDIOutputPort* outputPort() const { return outputPort_.get(); }

    /// Tells the delegate that objects came or went. Main thread.
    void midiObjectAddedRemoved();
    /// An object was added. Main thread.
    void addEndpoint(MIDIObjectKind kind, MIDIEndpointRef ref);
    /// An object was removed: a source is disconnected, a destination leaves the connected
    /// list, then the delegate hears of the change. Main thread.
    void removeEndpoint(MIDIObjectKind kind, MIDIEndpointRef ref);
    /// Reports an I/O error to the delegate. Main thread.
    void errorDidOccur(int32_t code, const std::string& message);

  private:
    // MIDIServiceListener, on the receive thread (midiIOError also on the service's sender
    // thread or a sending thread; it only posts to the main thread).
    void midiPacket(const MIDIPacket& packet, void* context) override;
    void midiObjectAdded(MIDIObjectKind kind, MIDIEndpointRef ref) override;
    void midiObjectRemoved(MIDIObjectKind kind, MIDIEndpointRef ref) override;
    void midiIOError(int32_t code) override;

    // Runs `task` on the main thread unless the client is gone by then.
    template <class F>
    void onMainThread(F task);

    const int32_t uid_;
    bridge::MainThread& mainThread_;
    MIDIClientDelegate* delegate_ = nullptr;
    // Main-thread tasks check it; it dies with the client, on the main thread.
    std::shared_ptr<MIDIClient*> alive_;
    std::unique_ptr<MIDIService> service_;
    std::unique_ptr<MIDIInputPort> inputPort_;
    std::unique_ptr<MIDIOutputPort> outputPort_;
};

}  // namespace lumetta::midi
