#include "midi/MIDIClient.h"

#ifndef LUMETTA_APP_ID
#define LUMETTA_APP_ID "com.velmar.lumetta"
#endif

namespace lumetta::midi {

std::string MIDIClient::clientName(int32_t uid) {
    return std::string(LUMETTA_APP_ID) + ".midi#" + std::to_string(uid);
}

MIDIClient::MIDIClient(int32_t uid, std::unique_ptr<MIDIService> service,
                       bridge::MainThread& mainThread)
    : uid_(uid),
      mainThread_(mainThread),
      alive_(std::make_shared<MIDIClient*>(this)),
      service_(std::move(service)) {
    if (!service_) return;
    inputPort_ = std::make_unique<MIDIInputPort>(*this, *service_, uid);
    outputPort_ = std::make_unique<MIDIOutputPort>(*this, *service_);
    service_->start(*this);
}

MIDIClient::~MIDIClient() {
    // No packet or notice may reach the ports while they go.
    if (service_) service_->stop();
}

void MIDIClient::midiObjectAddedRemoved() {
    if (delegate_) delegate_->midiObjectAddedRemoved();
}

void MIDIClient::addEndpoint(MIDIObjectKind kind, MIDIEndpointRef ref) {
    (void)kind;
    (void)ref;
    midiObjectAddedRemoved();
}

void MIDIClient::removeEndpoint(MIDIObjectKind kind, MIDIEndpointRef ref) {
    if (kind == MIDIObjectKind::source && inputPort_) inputPort_->disconnect(ref);
    if (kind == MIDIObjectKind::destination && outputPort_) outputPort_->disconnect(ref);
    midiObjectAddedRemoved();
}

void MIDIClient::errorDidOccur(int32_t code, const std::string& message) {
    if (delegate_) delegate_->midiErrorDidOccur(MIDIError{code, message});
}

template <class F>
void MIDIClient::onMainThread(F task) {
    std::weak_ptr<MIDIClient*> alive = alive_;
    mainThread_.post([alive, task = std::move(task)]() mutable {
        // The client is destroyed on the main thread, so it cannot go while this runs.
        if (auto self = alive.lock()) task(**self);
    });
}

void MIDIClient::midiPacket(const MIDIPacket& packet, void* context) {
    if (inputPort_) inputPort_->read(packet, context);
}

void MIDIClient::midiObjectAdded(MIDIObjectKind kind, MIDIEndpointRef ref) {
    onMainThread([kind, ref](MIDIClient& client) { client.addEndpoint(kind, ref); });
}

void MIDIClient::midiObjectRemoved(MIDIObjectKind kind, MIDIEndpointRef ref) {
    onMainThread([kind, ref](MIDIClient& client) { client.removeEndpoint(kind, ref); });
}

void MIDIClient::midiIOError(int32_t code) {
    onMainThread([code](MIDIClient& client) { client.errorDidOccur(code, "kMIDIMsgIOError"); });
}

}  // namespace lumetta::midi
