#include "modules/midi/MidiModule.h"

#include <climits>
#include <cstdlib>

#include "bridge/Result.h"
#include "midi/ServiceSelection.h"
#include "modules/midi/MidiBridge.h"

namespace lumetta::modules::midi {

using namespace lumetta::bridge;
using ::lumetta::midi::MIDIClient;

// ---- helpers -----------------------------------------------------------------------------------

nlohmann::json endpointArgument(const std::string& text) {
    auto value = jsonObjectFromString(text);
    return value ? std::move(*value) : nlohmann::json();
}

std::string eventJSONText(const nlohmann::json& value) {
    if (auto text = jsonStringFromObject(value)) return *text;
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string endpointListResult(const std::vector<nlohmann::json>& list) {
    return resultString(jsonStringFromObject(nlohmann::json(list)).value_or(""));
}

int32_t intArgument(const Arg& text) {
    if (!text) return 0;
    const char* s = text->c_str();
    long long value = std::strtoll(s, nullptr, 10);
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    return static_cast<int32_t>(value);
}

// ---- adapter -----------------------------------------------------------------------------------

void _MIDIClientDelegate::midiInputPortConnectFailed(const nlohmann::json& endpoint) {
    native->postEvent(joinEvent({"midi", "connectfailed", eventJSONText(endpoint)}));
}

void _MIDIClientDelegate::midiOutputPortConnectFailed(const nlohmann::json& endpoint) {
    native->postEvent(joinEvent({"midi", "connectfailed", eventJSONText(endpoint)}));
}

void _MIDIClientDelegate::midiObjectAddedRemoved() {
    native->postEvent(joinEvent({"midi", "changed"}));
}

void _MIDIClientDelegate::midiErrorDidOccur(const ::lumetta::midi::MIDIError& error) {
    native->postEvent(joinEvent({"midi", "error", std::to_string(error.code)}));
}

void _MIDIClientDelegate::midiInputMessage(const uint8_t* bytes, int32_t size, uint32_t timeStamp) {
    native->postEvent(
        joinEvent({"midi", "message", hexStringFromBytes(bytes, static_cast<size_t>(size)),
                   std::to_string(timeStamp)}));
}

// ---- module ------------------------------------------------------------------------------------

MidiModule::MidiModule(ModuleContext& ctx) {
    adapter_.native = &ctx.native;
    client_ = std::make_unique<MIDIClient>(
        0, ::lumetta::midi::makeService(MIDIClient::clientName(0)), ctx.services.mainThread);
    client_->setDelegate(&adapter_);
    if (auto* input = client_->inputPort()) input->setDelegate(&adapter_);

    auto& f = ctx.functions;
    f.add("$$midi_inendpoints::", [this](const Arg&, const Arg&) {
        std::lock_guard guard(callLock_);
        auto* port = client_->inputPort();
        return port ? endpointListResult(port->endpoints()) : resultString("");
    });
    f.add("$$midi_inconnect::", [this](const Arg& endpoint, const Arg&) {
        std::lock_guard guard(callLock_);
        if (auto* port = client_->inputPort()) {
            if (endpoint)
                port->connectEndpoint(endpointArgument(*endpoint));
            else
                port->connectAllEndpoints();
        }
        return resultVoid();
    });
    f.add("$$midi_indisconnect::", [this](const Arg& endpoint, const Arg&) {
        std::lock_guard guard(callLock_);
        if (auto* port = client_->inputPort()) {
            if (endpoint)
                port->disconnectEndpoint(endpointArgument(*endpoint));
            else
                port->disconnectAllEndpoints();
        }
        return resultVoid();
    });
    f.add("$$midi_outendpoints::", [this](const Arg&, const Arg&) {
        std::lock_guard guard(callLock_);
        auto* port = client_->outputPort();
        return port ? endpointListResult(port->endpoints()) : resultString("");
    });
    f.add("$$midi_outconnect::", [this](const Arg& endpoint, const Arg&) {
        std::lock_guard guard(callLock_);
        if (auto* port = client_->outputPort()) {
            if (endpoint)
                port->connectEndpoint(endpointArgument(*endpoint));
            else
                port->connectAllEndpoints();
        }
        return resultVoid();
    });
    f.add("$$midi_outdisconnect::", [this](const Arg& endpoint, const Arg&) {
        std::lock_guard guard(callLock_);
        if (auto* port = client_->outputPort()) {
            if (endpoint)
                port->disconnectEndpoint(endpointArgument(*endpoint));
            else
                port->disconnectAllEndpoints();
        }
        return resultVoid();
    });
    f.add("$$midi_send::", [this](const Arg& hex, const Arg&) {
        auto bytes = dataFromHexString(hex.value_or(""));
        if (auto* port = client_->outputPort())
            port->send(bytes.data(),
                       static_cast<int32_t>(std::min<size_t>(bytes.size(), INT32_MAX)));
        return resultVoid();
    });
    f.add("$$midi_panel::", [](const Arg&, const Arg&) {
        openConnectionTool();
        return resultVoid();
    });
}

MidiModule::~MidiModule() {
    client_.reset();
}

void MidiModule::didCreateAll() {
    auto* input = client_->inputPort();
    auto* output = client_->outputPort();
    if ((input && !input->endpoints().empty()) || (output && !output->endpoints().empty()))
        adapter_.midiObjectAddedRemoved();
}

ModuleDescriptor descriptor() {
    return {"midi", 56, [](ModuleContext& ctx) { return std::make_unique<MidiModule>(ctx); }};
}

}  // namespace lumetta::modules::midi
