#include "modules/midix/MidixModule.h"

#include <climits>

#include "bridge/BridgeError.h"
#include "bridge/Result.h"
#include "midi/ServiceSelection.h"
#include "modules/midi/MidiBridge.h"
#include "modules/midi/MidiModule.h"

namespace lumetta::modules::midix {

using namespace lumetta::bridge;
using ::lumetta::midi::MIDIClient;
using midi::endpointArgument;
using midi::endpointListResult;
using midi::eventJSONText;
using midi::intArgument;

// ---- adapter -----------------------------------------------------------------------------------

void _MIDIXClientDelegate::midiInputPortConnectFailed(const nlohmann::json& endpoint) {
    native->postEvent(
        joinEvent({"midix", "connectfailed", std::to_string(cid), eventJSONText(endpoint)}));
}

void _MIDIXClientDelegate::midiOutputPortConnectFailed(const nlohmann::json& endpoint) {
    native->postEvent(
        joinEvent({"midix", "connectfailed", std::to_string(cid), eventJSONText(endpoint)}));
}

void _MIDIXClientDelegate::midiObjectAddedRemoved() {
    // Every client sees the same system; one event is enough for the page.
    if (cid == 0) native->postEvent(joinEvent({"midix", "changed"}));
}

void _MIDIXClientDelegate::midiErrorDidOccur(const ::lumetta::midi::MIDIError& error) {
    native->postEvent(
        joinEvent({"midix", "error", std::to_string(cid), std::to_string(error.code)}));
}

void _MIDIXClientDelegate::midiInputMessage(const uint8_t* bytes, int32_t size,
                                            uint32_t timeStamp) {
    if (thru.load(std::memory_order_relaxed) && client && client->outputPort())
        client->outputPort()->send(bytes, size);
    native->postEvent(joinEvent({"midix", "message", std::to_string(cid),
                                 hexStringFromBytes(bytes, static_cast<size_t>(size)),
                                 std::to_string(timeStamp)}));
}

// ---- module ------------------------------------------------------------------------------------

MidixModule::MidixModule(ModuleContext& ctx)
    : native_(ctx.native), mainThread_(ctx.services.mainThread) {
    auto& f = ctx.functions;
    f.add("$$midix_client::", [this](const Arg& count, const Arg&) {
        createClients(intArgument(count));
        return resultVoid();
    });
    // The system's endpoints are the same for every client: the default client lists them.
    f.add("$$midix_inendpoints::", [this](const Arg&, const Arg&) {
        return native_.call("$$midi_inendpoints", std::nullopt, std::nullopt);
    });
    f.add("$$midix_outendpoints::", [this](const Arg&, const Arg&) {
        return native_.call("$$midi_outendpoints", std::nullopt, std::nullopt);
    });
    f.add("$$midix_inconnect::", [this](const Arg& index, const Arg& endpoint) {
        std::lock_guard guard(lock_);
        if (auto* port = entry(index).client->inputPort()) {
            if (endpoint)
                port->connectEndpoint(endpointArgument(*endpoint));
            else
                port->connectAllEndpoints();
        }
        return resultVoid();
    });
    f.add("$$midix_indisconnect::", [this](const Arg& index, const Arg& endpoint) {
        std::lock_guard guard(lock_);
        if (auto* port = entry(index).client->inputPort()) {
            if (endpoint)
                port->disconnectEndpoint(endpointArgument(*endpoint));
            else
                port->disconnectAllEndpoints();
        }
        return resultVoid();
    });
    f.add("$$midix_outconnect::", [this](const Arg& index, const Arg& endpoint) {
        std::lock_guard guard(lock_);
        if (auto* port = entry(index).client->outputPort()) {
            if (endpoint)
                port->connectEndpoint(endpointArgument(*endpoint));
            else
                port->connectAllEndpoints();
        }
        return resultVoid();
    });
    f.add("$$midix_outdisconnect::", [this](const Arg& index, const Arg& endpoint) {
        std::lock_guard guard(lock_);
        if (auto* port = entry(index).client->outputPort()) {
            if (endpoint)
                port->disconnectEndpoint(endpointArgument(*endpoint));
            else
                port->disconnectAllEndpoints();
        }
        return resultVoid();
    });
    f.add("$$midix_send::", [this](const Arg& index, const Arg& hex) {
        std::lock_guard guard(lock_);
        Entry& e = entry(index);
        auto bytes = dataFromHexString(hex.value_or(""));
        if (auto* port = e.client->outputPort())
            port->send(bytes.data(),
                       static_cast<int32_t>(std::min<size_t>(bytes.size(), INT32_MAX)));
        return resultVoid();
    });
    f.add("$$midix_thru::", [this](const Arg& index, const Arg& on) {
        std::lock_guard guard(lock_);
        entry(index).adapter->thru.store(boolValue(on));
        return resultVoid();
    });
    f.add("$$midix_panel::", [](const Arg&, const Arg&) {
        midi::openConnectionTool();
        return resultVoid();
    });
}

namespace {

// Takes made clients down from the last to the first: adapters detached, each client (and its
// receive thread) gone before its adapter.
void takeDown(std::vector<MidixModule::Entry>& entries) {
    while (!entries.empty()) {
        MidixModule::Entry e = std::move(entries.back());
        entries.pop_back();
        if (auto* input = e.client->inputPort()) input->setDelegate(nullptr);
        e.client->setDelegate(nullptr);
        e.client.reset();  // joins its receive thread before the adapter goes
        e.adapter.reset();
    }
}

}  // namespace

MidixModule::~MidixModule() {
    std::lock_guard guard(lock_);
    takeDown(clients_);
}

size_t MidixModule::clientCount() {
    std::lock_guard guard(lock_);
    return clients_.size();
}

void MidixModule::createClients(int32_t count) {
    std::lock_guard guard(lock_);
    if (!clients_.empty() || count <= 0) return;
    // Each client holds a sequencer client, shared with every program on the machine, and a
    // receive thread: the page gets a few, never as many as it asks.
    if (count > kMaxClients)
        throw BridgeError("at most " + std::to_string(kMaxClients) + " MIDI clients");
    // Made aside and kept only when all of them exist: a failure leaves no partial list.
    std::vector<Entry> made;
    try {
        for (int32_t i = 0; i < count; ++i) {
            auto service = ::lumetta::midi::makeService(MIDIClient::clientName(i + 10));
            if (!service) throw BridgeError("the MIDI service could not be opened");
            Entry e;
            e.adapter = std::make_unique<_MIDIXClientDelegate>();
            e.client = std::make_unique<MIDIClient>(i + 10, std::move(service), mainThread_);
            e.adapter->native = &native_;
            e.adapter->client = e.client.get();
            e.adapter->cid = i;
            e.client->setDelegate(e.adapter.get());
            if (auto* input = e.client->inputPort()) input->setDelegate(e.adapter.get());
            made.push_back(std::move(e));
        }
    } catch (const BridgeError&) {
        takeDown(made);
        throw;
    } catch (const std::exception& e) {
        takeDown(made);
        throw BridgeError(std::string("MIDI clients could not be made: ") + e.what());
    }
    clients_ = std::move(made);
    for (auto& e : clients_) {
        auto* client = e.client.get();
        const bool any = (client->inputPort() && !client->inputPort()->endpoints().empty()) ||
                         (client->outputPort() && !client->outputPort()->endpoints().empty());
        if (any) e.adapter->midiObjectAddedRemoved();
    }
}

MidixModule::Entry& MidixModule::entry(const Arg& index) {
    const int32_t i = intArgument(index);
    if (i < 0 || static_cast<size_t>(i) >= clients_.size())
        throw BridgeError("no MIDI client with index " + std::to_string(i));
    return clients_[static_cast<size_t>(i)];
}

ModuleDescriptor descriptor() {
    return {"midix", 20, [](ModuleContext& ctx) { return std::make_unique<MidixModule>(ctx); }};
}

}  // namespace lumetta::modules::midix
