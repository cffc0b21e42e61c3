#include "midi/MIDIInputPort.h"

#include "midi/MIDIClient.h"
#include "midi/MIDIEndpointDictionary.h"

namespace lumetta::midi {

MIDIInputPort::MIDIInputPort(MIDIClient& client, MIDIService& service, int32_t uid)
    : client_(client), service_(service) {
    (void)uid;
}

MIDIInputPort::~MIDIInputPort() {
    disconnectAllEndpoints();
}

std::vector<nlohmann::json> MIDIInputPort::endpoints() {
    std::vector<nlohmann::json> list;
    for (MIDIEndpointRef ref : service_.sources()) {
        if (ref == 0) continue;
        if (auto dictionary = propertyWithEndpointRef(ref)) list.push_back(std::move(*dictionary));
    }
    return list;
}

std::optional<nlohmann::json> MIDIInputPort::propertyWithEndpointRef(MIDIEndpointRef ref) {
    auto properties = service_.properties(ref);
    if (!properties) return std::nullopt;
    return endpointDictionary(*properties);
}

MIDIEndpointRef MIDIInputPort::endpointRefWithDictionay(const nlohmann::json& dictionary) {
    auto uniqueID = uniqueIDFromDictionary(dictionary);
    if (!uniqueID) return 0;
    auto found = service_.findByUniqueID(*uniqueID);
    if (!found || found->kind != MIDIObjectKind::source) return 0;
    return found->ref;
}

int MIDIInputPort::connect(MIDIEndpointRef ref) {
    auto& parser = parsers_[ref];
    if (!parser) parser = std::make_unique<MIDIParser>();
    // The receive thread may be inside this parser (a reconnect of a connected source), so the
    // reset is done there, before the next packet.
    parser->requestReset();
    return service_.connectSource(ref, parser.get());
}

void MIDIInputPort::disconnect(MIDIEndpointRef ref) {
    service_.disconnectSource(ref);
}

void MIDIInputPort::connectEndpoint(const nlohmann::json& dictionary) {
    MIDIEndpointRef ref = endpointRefWithDictionay(dictionary);
    if (ref == 0 || connect(ref) != 0) {
        if (auto* delegate = client_.delegate()) delegate->midiInputPortConnectFailed(dictionary);
    }
}

void MIDIInputPort::connectAllEndpoints() {
    for (MIDIEndpointRef ref : service_.sources())
        if (ref != 0) connect(ref);
}

void MIDIInputPort::disconnectAllEndpoints() {
    for (MIDIEndpointRef ref : service_.sources())
        if (ref != 0) disconnect(ref);
}

void MIDIInputPort::disconnectEndpoint(const nlohmann::json& dictionary) {
    MIDIEndpointRef ref = endpointRefWithDictionay(dictionary);
    if (ref != 0) disconnect(ref);
}

void MIDIInputPort::read(const MIDIPacket& packet, void* context) {
    if (delegate() == nullptr || context == nullptr || packet.length == 0) return;
    static_cast<MIDIParser*>(context)->parse(packet, *this);
}

}  // namespace lumetta::midi
