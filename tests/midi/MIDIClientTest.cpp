#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "midi/MIDIClient.h"
#include "midi/MIDIEndpointDictionary.h"
#include "midi/Timestamp.h"
#include "midi/virtual/VirtualMIDIService.h"
#include "support/TestServices.h"

using namespace lumetta::midi;
using lumetta::test::ManualMainThread;
using nlohmann::json;

namespace {

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

VirtualMIDISystem::EndpointSpec spec(std::string name, std::optional<std::string> device = {},
                                     std::optional<std::string> entity = {}, int32_t uid = 0) {
    VirtualMIDISystem::EndpointSpec s;
    s.name = std::move(name);
    s.uniqueID = uid;
    if (device) s.device = MIDIObjectIdentity{*device, uid + 1000};
    if (entity) s.entity = MIDIObjectIdentity{*entity, uid + 2000};
    return s;
}

class MIDIClientTest : public ::testing::Test {
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

}  // namespace

TEST(MIDIClientNameTest, ClientNameIsTheApplicationIdWithMidiHashAndUid) {
    EXPECT_EQ(MIDIClient::clientName(0), "com.velmar.lumetta.midi#0");
    EXPECT_EQ(MIDIClient::clientName(11), "com.velmar.lumetta.midi#11");
}

TEST(MIDIClientFailureTest, ClientWithoutServiceHasNoPortsAndDoesNothing) {
    ManualMainThread main;
    MIDIClient client(0, nullptr, main);
    EXPECT_EQ(client.clientRef(), 0u);
    EXPECT_EQ(client.inputPort(), nullptr);
    EXPECT_EQ(client.outputPort(), nullptr);
}

TEST(TimestampTest, MillisecondsFollowTheMonotonicClock) {
    EXPECT_EQ(host_timestamp_to_millis(1999999), 1u);
    EXPECT_EQ(host_timestamp_to_millis(2000000), 2u);
    const uint64_t a = current_millis_timestamp();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(current_millis_timestamp(), a + 4);
}

TEST(EndpointDictionaryTest, EntityNamedLikeItsDeviceShowsThatNameAlone) {
    MIDIEndpointProperties p{
        "Port 1", 42, MIDIObjectIdentity{"Synth", 7}, MIDIObjectIdentity{"Synth", 9}, {}};
    json d = endpointDictionary(p);
    EXPECT_EQ(d["MIDIDeviceNameKey"], "Synth");
    EXPECT_EQ(d["MIDIEntityNameKey"], "Synth");
    EXPECT_EQ(d["MIDIEndpointUIDKey"], 42);
    EXPECT_EQ(d["MIDIEndpointIndexKey"], 7);
}

TEST(EndpointDictionaryTest, OtherEntityNameIsShownInParenthesesAfterTheDevice) {
    MIDIEndpointProperties p{
        "Out", -5, MIDIObjectIdentity{"MIDI 2", 70}, MIDIObjectIdentity{"Interface", 90}, {}};
    json d = endpointDictionary(p);
    EXPECT_EQ(d["MIDIDeviceNameKey"], "Interface");
    EXPECT_EQ(d["MIDIEntityNameKey"], "Interface (MIDI 2)");
    EXPECT_EQ(d["MIDIEndpointUIDKey"], -5);
    EXPECT_EQ(d["MIDIEndpointIndexKey"], 70);
}

TEST(EndpointDictionaryTest, EndpointWithoutDeviceAndEntityCarriesItsOwnNameEverywhere) {
    MIDIEndpointProperties p{"Loose", 3, std::nullopt, std::nullopt, {}};
    json d = endpointDictionary(p);
    EXPECT_EQ(d["MIDIDeviceNameKey"], "Loose");
    EXPECT_EQ(d["MIDIEntityNameKey"], "Loose");
    EXPECT_EQ(d["MIDIEndpointIndexKey"], "Loose");
    EXPECT_EQ(d.size(), 4u);
}

TEST(EndpointDictionaryTest, DeviceWithoutEntityGivesTheDeviceIdAsIndex) {
    MIDIEndpointProperties p{"Port", 3, std::nullopt, MIDIObjectIdentity{"Dev", 11}, {}};
    json d = endpointDictionary(p);
    EXPECT_EQ(d["MIDIDeviceNameKey"], "Dev");
    EXPECT_EQ(d["MIDIEntityNameKey"], "Port");
    EXPECT_EQ(d["MIDIEndpointIndexKey"], 11);
}

TEST(EndpointDictionaryTest, UidIsReadFromNumbersAndText) {
    EXPECT_EQ(uniqueIDFromDictionary(json{{"MIDIEndpointUIDKey", -12}}), -12);
    EXPECT_EQ(uniqueIDFromDictionary(json{{"MIDIEndpointUIDKey", 4294967295u}}), -1);
    EXPECT_EQ(uniqueIDFromDictionary(json{{"MIDIEndpointUIDKey", "77"}}), 77);
    EXPECT_EQ(uniqueIDFromDictionary(json{{"MIDIEndpointUIDKey", 12.0}}), 12);
    EXPECT_EQ(uniqueIDFromDictionary(json{{"other", 1}}), std::nullopt);
    EXPECT_EQ(uniqueIDFromDictionary(json(5)), std::nullopt);
}

TEST_F(MIDIClientTest, EndpointListsShowSourcesAndDestinationsSeparately) {
    system->addSource(spec("Keys Out", "Keys", "Keys", 100));
    system->addDestination(spec("Synth In", "Synth", "Port A", 200), nullptr);
    auto in = client->inputPort()->endpoints();
    auto out = client->outputPort()->endpoints();
    ASSERT_EQ(in.size(), 1u);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(in[0]["MIDIEndpointUIDKey"], 100);
    EXPECT_EQ(in[0]["MIDIEntityNameKey"], "Keys");
    EXPECT_EQ(out[0]["MIDIEndpointUIDKey"], 200);
    EXPECT_EQ(out[0]["MIDIEntityNameKey"], "Synth (Port A)");
}

TEST_F(MIDIClientTest, ConnectedSourceDeliversParsedMessagesOnTheReceiveThread) {
    auto src = system->addSource(spec("Keys", {}, {}, 100));
    client->inputPort()->connectEndpoint(json{{"MIDIEndpointUIDKey", 100}});
    EXPECT_TRUE(recorder.inputFailed.empty());
    const Bytes note{0x90, 0x3C, 0x64};
    system->emit(src, note.data(), note.size());
    ASSERT_TRUE(eventually(main, [&] { return recorder.messageCount() == 1; }));
    EXPECT_EQ(recorder.messages[0].first, note);
}

TEST_F(MIDIClientTest, UnknownOrWrongKindInputDictionaryReportsConnectFailedWithThatDictionary) {
    system->addDestination(spec("Synth", {}, {}, 200), nullptr);
    json unknown{{"MIDIEndpointUIDKey", 999}, {"extra", "kept"}};
    client->inputPort()->connectEndpoint(unknown);
    client->inputPort()->connectEndpoint(json{{"MIDIEndpointUIDKey", 200}});
    ASSERT_EQ(recorder.inputFailed.size(), 2u);
    EXPECT_EQ(recorder.inputFailed[0], unknown);
}

TEST_F(MIDIClientTest, ReconnectingASourceDropsAnUnfinishedSysEx) {
    auto src = system->addSource(spec("Keys", {}, {}, 100));
    json d{{"MIDIEndpointUIDKey", 100}};
    client->inputPort()->connectEndpoint(d);
    const Bytes start{0xF0, 0x41, 0x10};
    system->emit(src, start.data(), start.size());
    // Let the first part arrive before reconnecting.
    const Bytes marker{0xFA};
    system->emit(src, marker.data(), marker.size());
    ASSERT_TRUE(eventually(main, [&] { return recorder.messageCount() == 1; }));
    client->inputPort()->connectEndpoint(d);
    const Bytes end{0x42, 0xF7, 0xC0, 0x01};
    system->emit(src, end.data(), end.size());
    ASSERT_TRUE(eventually(main, [&] { return recorder.messageCount() == 2; }));
    EXPECT_EQ(recorder.messages[1].first, (Bytes{0xC0, 0x01}));
}

TEST_F(MIDIClientTest, ReconnectingWhileTrafficFlowsKeepsMessagesWhole) {
    auto src = system->addSource(spec("Keys", {}, {}, 100));
    json d{{"MIDIEndpointUIDKey", 100}};
    client->inputPort()->connectEndpoint(d);
    std::atomic<bool> done{false};
    std::thread traffic([&] {
        const Bytes notes{0x90, 0x3C, 0x64, 0x3D, 0x65, 0xB0, 0x07, 0x10};
        for (int i = 0; i < 2000; ++i) system->emit(src, notes.data(), notes.size());
        done = true;
    });
    while (!done) client->inputPort()->connectEndpoint(d);
    traffic.join();
    ASSERT_TRUE(eventually(main, [&] { return recorder.messageCount() >= 3 * 2000; }));
    std::lock_guard guard(recorder.lock);
    for (auto& [bytes, time] : recorder.messages) EXPECT_EQ(bytes.size(), 3u);
}

TEST_F(MIDIClientTest, DisconnectedSourceDeliversNothing) {
    auto src = system->addSource(spec("Keys", {}, {}, 100));
    auto other = system->addSource(spec("Pads", {}, {}, 101));
    client->inputPort()->connectAllEndpoints();
    client->inputPort()->disconnectEndpoint(json{{"MIDIEndpointUIDKey", 100}});
    const Bytes note{0x90, 0x3C, 0x64};
    system->emit(src, note.data(), note.size());
    system->emit(other, note.data(), note.size());
    ASSERT_TRUE(eventually(main, [&] { return recorder.messageCount() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(recorder.messageCount(), 1u);
}

TEST_F(MIDIClientTest, SendOfNothingSendsNothing) {
    Sink sink;
    system->addDestination(spec("Synth", {}, {}, 200), sink.receiver());
    client->outputPort()->connectAllEndpoints();
    const Bytes note{0x90, 0x3C, 0x64};
    client->outputPort()->send(nullptr, 3);
    client->outputPort()->send(note.data(), 0);
    client->outputPort()->send(note.data(), -1);
    EXPECT_TRUE(sink.packets.empty());
}

TEST_F(MIDIClientTest, ConnectingADestinationTwiceSendsOnce) {
    Sink sink;
    system->addDestination(spec("Synth", {}, {}, 200), sink.receiver());
    json d{{"MIDIEndpointUIDKey", 200}};
    client->outputPort()->connectEndpoint(d);
    client->outputPort()->connectEndpoint(d);
    EXPECT_EQ(client->outputPort()->connected().size(), 1u);
    const Bytes note{0x90, 0x3C, 0x64};
    client->outputPort()->send(note.data(), 3);
    ASSERT_EQ(sink.packets.size(), 1u);
    EXPECT_EQ(sink.packets[0], note);
}

TEST_F(MIDIClientTest, SendReachesEveryDestinationInConnectionOrder) {
    std::vector<std::string> order;
    Sink a, b;
    a.order = b.order = &order;
    a.name = "a";
    b.name = "b";
    system->addDestination(spec("A", {}, {}, 200), a.receiver());
    system->addDestination(spec("B", {}, {}, 201), b.receiver());
    client->outputPort()->connectEndpoint(json{{"MIDIEndpointUIDKey", 201}});
    client->outputPort()->connectEndpoint(json{{"MIDIEndpointUIDKey", 200}});
    const Bytes note{0x90, 0x3C, 0x64};
    client->outputPort()->send(note.data(), 3);
    EXPECT_EQ(order, (std::vector<std::string>{"b", "a"}));
    client->outputPort()->disconnectEndpoint(json{{"MIDIEndpointUIDKey", 201}});
    client->outputPort()->send(note.data(), 3);
    EXPECT_EQ(order, (std::vector<std::string>{"b", "a", "a"}));
    client->outputPort()->disconnectAllEndpoints();
    client->outputPort()->send(note.data(), 3);
    EXPECT_EQ(order.size(), 3u);
}

TEST_F(MIDIClientTest, SendOf512BytesIsOnePacket) {
    Sink sink;
    system->addDestination(spec("Synth", {}, {}, 200), sink.receiver());
    client->outputPort()->connectAllEndpoints();
    Bytes data(512, 0x11);
    client->outputPort()->send(data.data(), 512);
    ASSERT_EQ(sink.packets.size(), 1u);
    EXPECT_EQ(sink.packets[0], data);
}

TEST_F(MIDIClientTest, LongSendGoesOutAsConsecutivePacketsOfAtMost512Bytes) {
    Sink sink;
    system->addDestination(spec("Synth", {}, {}, 200), sink.receiver());
    client->outputPort()->connectAllEndpoints();
    Bytes data(1300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i % 128);
    client->outputPort()->send(data.data(), static_cast<int32_t>(data.size()));
    ASSERT_EQ(sink.packets.size(), 3u);
    EXPECT_EQ(sink.packets[0].size(), 512u);
    EXPECT_EQ(sink.packets[1].size(), 512u);
    EXPECT_EQ(sink.packets[2].size(), 276u);
    Bytes joined;
    for (auto& p : sink.packets) joined.insert(joined.end(), p.begin(), p.end());
    EXPECT_EQ(joined, data);
}

TEST_F(MIDIClientTest, OfflineDestinationIsRefusedAndReported) {
    Sink sink;
    auto dst = system->addDestination(spec("Synth", {}, {}, 200), sink.receiver());
    system->setOffline(dst, 1);
    json d{{"MIDIEndpointUIDKey", 200}};
    client->outputPort()->connectEndpoint(d);
    ASSERT_EQ(recorder.outputFailed.size(), 1u);
    EXPECT_EQ(recorder.outputFailed[0], d);
    EXPECT_TRUE(client->outputPort()->connected().empty());
    system->setOffline(dst, 0);
    client->outputPort()->connectEndpoint(d);
    EXPECT_EQ(client->outputPort()->connected().size(), 1u);
}

TEST_F(MIDIClientTest, UnknownOutputDictionaryIsNotReported) {
    client->outputPort()->connectEndpoint(json{{"MIDIEndpointUIDKey", 12345}});
    EXPECT_TRUE(recorder.outputFailed.empty());
    EXPECT_TRUE(client->outputPort()->connected().empty());
}

TEST_F(MIDIClientTest, AddedEndpointIsAnnouncedOnTheMainThread) {
    system->addSource(spec("Keys", {}, {}, 100));
    EXPECT_EQ(recorder.changes, 0);  // nothing before the main thread runs
    ASSERT_TRUE(eventually(main, [&] { return recorder.changes == 1; }));
}

TEST_F(MIDIClientTest, RemovingAConnectedSourceDisconnectsItAndAnnouncesOnce) {
    auto src = system->addSource(spec("Keys", {}, {}, 100));
    ASSERT_TRUE(eventually(main, [&] { return recorder.changes == 1; }));
    client->inputPort()->connectAllEndpoints();
    system->remove(src);
    ASSERT_TRUE(eventually(main, [&] { return recorder.changes == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    main.runPending();
    EXPECT_EQ(recorder.changes, 2);
    EXPECT_TRUE(client->inputPort()->endpoints().empty());
    // The same device coming back keeps its unique ID and can be connected again.
    auto again = system->addSource(spec("Keys", {}, {}, 100));
    ASSERT_TRUE(eventually(main, [&] { return recorder.changes == 3; }));
    client->inputPort()->connectEndpoint(json{{"MIDIEndpointUIDKey", 100}});
    EXPECT_TRUE(recorder.inputFailed.empty());
    const Bytes note{0x80, 0x3C, 0x00};
    system->emit(again, note.data(), note.size());
    ASSERT_TRUE(eventually(main, [&] { return recorder.messageCount() == 1; }));
}

TEST_F(MIDIClientTest, RemovingAConnectedDestinationDropsItsRecord) {
    Sink sink;
    auto dst = system->addDestination(spec("Synth", {}, {}, 200), sink.receiver());
    auto keep = system->addDestination(spec("Other", {}, {}, 201), nullptr);
    client->outputPort()->connectAllEndpoints();
    ASSERT_EQ(client->outputPort()->connected().size(), 2u);
    system->remove(dst);
    ASSERT_TRUE(eventually(main, [&] { return client->outputPort()->connected().size() == 1; }));
    EXPECT_EQ(client->outputPort()->connected()[0], keep);
}

TEST_F(MIDIClientTest, IOErrorReachesTheDelegateOnTheMainThreadWithItsCode) {
    system->raiseIOError(-10830);
    ASSERT_TRUE(eventually(main, [&] { return recorder.errors.size() == 1; }));
    EXPECT_EQ(recorder.errors[0].code, -10830);
    EXPECT_EQ(recorder.errors[0].reason, "kMIDIMsgIOError");
    EXPECT_TRUE(recorder.errorOnMain);
}

TEST_F(MIDIClientTest, NoticesForADestroyedClientAreDropped) {
    system->addSource(spec("Keys", {}, {}, 100));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    client.reset();
    main.runPending();  // must not touch the destroyed client
    EXPECT_EQ(recorder.changes, 0);
}

TEST_F(MIDIClientTest, LoopbackPairEchoesWhatIsSent) {
    auto loop = VirtualMIDISystem::create(true);
    ManualMainThread otherMain;
    Recorder r;
    MIDIClient c(0, loop->openClient("x"), otherMain);
    c.inputPort()->setDelegate(&r);
    auto in = c.inputPort()->endpoints();
    auto out = c.outputPort()->endpoints();
    ASSERT_EQ(in.size(), 1u);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(in[0]["MIDIEntityNameKey"], "Lumetta Loopback");
    EXPECT_EQ(out[0]["MIDIEntityNameKey"], "Lumetta Loopback");
    c.inputPort()->connectEndpoint(in[0]);
    c.outputPort()->connectEndpoint(out[0]);
    const Bytes sysex{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    c.outputPort()->send(sysex.data(), static_cast<int32_t>(sysex.size()));
    ASSERT_TRUE(eventually(otherMain, [&] { return r.messageCount() == 1; }));
    EXPECT_EQ(r.messages[0].first, sysex);
}
