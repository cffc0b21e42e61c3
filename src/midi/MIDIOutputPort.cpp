#include "midi/MIDIOutputPort.h"

#include <algorithm>

#include "midi/MIDIClient.h"
#include "midi/MIDIEndpointDictionary.h"
#include "midi/Timestamp.h"

namespace lumetta::midi {

MIDIOutputPort::MIDIOutputPort(MIDIClient& client, MIDIService& service)
    : client_(client), service_(service) {}

std::vector<nlohmann::json> MIDIOutputPort::endpoints() {
    std::vector<nlohmann::json> list;
    for (MIDIEndpointRef ref : service_.destinations()) {
        if (ref == 0) continue;
        if (auto dictionary = propertyWithEndpointRef(ref)) list.push_back(std::move(*dictionary));
    }
    return list;
}

std::optional<nlohmann::json> MIDIOutputPort::propertyWithEndpointRef(MIDIEndpointRef ref) {
    auto properties = service_.properties(ref);
    if (!properties) return std::nullopt;
    return endpointDictionary(*properties);
}

MIDIEndpointRef MIDIOutputPort::endpointRefWithDictionay(const nlohmann::json& dictionary) {
    auto uniqueID = uniqueIDFromDictionary(dictionary);
    if (!uniqueID) return 0;
    auto found = service_.findByUniqueID(*uniqueID);
    if (!found || found->kind != MIDIObjectKind::destination) return 0;
    return found->ref;
}

void MIDIOutputPort::connect(MIDIEndpointRef ref) {
    std::lock_guard guard(lock_);
    auto same = [ref](const MIDIOutputEndpoint& e) { return e.endpointRef == ref; };
    if (std::find_if(connected_.begin(), connected_.end(), same) != connected_.end()) return;
    connected_.push_back(MIDIOutputEndpoint{ref});
}

void MIDIOutputPort::disconnect(MIDIEndpointRef ref) {
    std::lock_guard guard(lock_);
    auto same = [ref](const MIDIOutputEndpoint& e) { return e.endpointRef == ref; };
    auto it = std::find_if(connected_.begin(), connected_.end(), same);
    if (it != connected_.end()) connected_.erase(it);
}

void MIDIOutputPort::connectEndpoint(const nlohmann::json& dictionary) {
    MIDIEndpointRef ref = endpointRefWithDictionay(dictionary);
    // An unknown destination is not reported, and a record for it could never send anything.
    if (ref == 0) return;
    auto properties = service_.properties(ref);
    if (properties && properties->offline && *properties->offline != 0) {
        if (auto* delegate = client_.delegate()) delegate->midiOutputPortConnectFailed(dictionary);
        return;
    }
    connect(ref);
}

void MIDIOutputPort::connectAllEndpoints() {
    for (MIDIEndpointRef ref : service_.destinations())
        if (ref != 0) connect(ref);
}

void MIDIOutputPort::disconnectAllEndpoints() {
    std::lock_guard guard(lock_);
    connected_.clear();
}

void MIDIOutputPort::disconnectEndpoint(const nlohmann::json& dictionary) {
    MIDIEndpointRef ref = endpointRefWithDictionay(dictionary);
    if (ref != 0) disconnect(ref);
}

void MIDIOutputPort::send(const uint8_t* bytes, int32_t size) {
    if (bytes == nullptr || size <= 0) return;
    // One lock for every piece, so that the pieces of a long message reach each destination
    // back to back and a thru send cannot come between them.
    std::lock_guard guard(lock_);
    for (int32_t at = 0; at < size; at += kMaxPacketBytes) {
        const int32_t piece = std::min(kMaxPacketBytes, size - at);
        MIDIPacketList list;
        list.add(current_host_time(), bytes + at, static_cast<size_t>(piece));
        sendLocked(list);
    }
}

void MIDIOutputPort::sendPacketList(const MIDIPacketList& list) {
    std::lock_guard guard(lock_);
    sendLocked(list);
}

void MIDIOutputPort::sendLocked(const MIDIPacketList& list) {
    for (const MIDIOutputEndpoint& endpoint : connected_) service_.send(endpoint.endpointRef, list);
}

std::vector<MIDIEndpointRef> MIDIOutputPort::connected() const {
    std::lock_guard guard(lock_);
    std::vector<MIDIEndpointRef> refs;
    refs.reserve(connected_.size());
    for (const auto& e : connected_) refs.push_back(e.endpointRef);
    return refs;
}

}  // namespace lumetta::midi
