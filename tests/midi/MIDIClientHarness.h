#pragma once

// What the MIDI client and port tests share: a client on a virtual MIDI system with a recording
// delegate, destinations that record what reaches them, and a wait that turns the main thread.

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "midi/MIDIClient.h"
#include "midi/virtual/VirtualMIDIService.h"
#include "support/TestServices.h"

namespace lumetta::midi::test {

using lumetta::test::ManualMainThread;
using nlohmann::json;

using Bytes = std::vector<uint8_t>;

// Waits for `condition`, running main-thread tasks meanwhile; false after ten seconds (a guard
// against hanging, far above the milliseconds delivery takes).
template <class F>
bool eventually(ManualMainThread& main, F condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
        main.runPending();
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    main.runPending();
    return condition();
}

class Recorder final : public MIDIClientDelegate, public MIDIInputDelegate {
  public:
    void midiInputPortConnectFailed(const json& endpoint) override {
        inputFailed.push_back(endpoint);
    }
    void midiOutputPortConnectFailed(const json& endpoint) override {
        outputFailed.push_back(endpoint);
    }
    void midiObjectAddedRemoved() override { ++changes; }
    void midiErrorDidOccur(const MIDIError& error) override {
        errors.push_back(error);
        errorOnMain = main && main->isCurrent();
    }
    void midiInputMessage(const uint8_t* bytes, int32_t size, uint32_t timeStamp) override {
        std::lock_guard guard(lock);
        messages.emplace_back(Bytes(bytes, bytes + size), timeStamp);
    }
    size_t messageCount() {
        std::lock_guard guard(lock);
        return messages.size();
    }

    ManualMainThread* main = nullptr;
    std::vector<json> inputFailed, outputFailed;
    int changes = 0;
    std::vector<MIDIError> errors;
    bool errorOnMain = false;
    std::mutex lock;
    std::vector<std::pair<Bytes, uint32_t>> messages;
};

// A destination that records every packet sent to it.
struct Sink {
    std::mutex lock;
    std::vector<Bytes> packets;
    std::vector<std::string>* order = nullptr;
    std::string name;
    VirtualMIDISystem::Receiver receiver() {
        return [this](const MIDIPacket& p) {
            std::lock_guard guard(lock);
            packets.emplace_back(p.data, p.data + p.length);
            if (order) order->push_back(name);
        };
    }
};

inline VirtualMIDISystem::EndpointSpec spec(std::string name,
                                            std::optional<std::string> device = {},
                                            std::optional<std::string> entity = {},
                                            int32_t uid = 0) {
    VirtualMIDISystem::EndpointSpec s;
    s.name = std::move(name);
    s.uniqueID = uid;
    if (device) s.device = MIDIObjectIdentity{*device, uid + 1000};
    if (entity) s.entity = MIDIObjectIdentity{*entity, uid + 2000};
    return s;
}

// A client on a virtual MIDI system; the test turns the main thread.
class MIDIClientHarness : public ::testing::Test {
  protected:
    void SetUp() override {
        recorder.main = &main;
        client =
            std::make_unique<MIDIClient>(0, system->openClient(MIDIClient::clientName(0)), main);
        client->setDelegate(&recorder);
        client->inputPort()->setDelegate(&recorder);
    }
    void TearDown() override { client.reset(); }

    json dictionaryOf(MIDIEndpointRef ref, bool input) {
        auto d = input ? client->inputPort()->propertyWithEndpointRef(ref)
                       : client->outputPort()->propertyWithEndpointRef(ref);
        return d ? *d : json();
    }

    std::shared_ptr<VirtualMIDISystem> system = VirtualMIDISystem::create(false);
    ManualMainThread main;
    Recorder recorder;
    std::unique_ptr<MIDIClient> client;
};

}  // namespace lumetta::midi::test
