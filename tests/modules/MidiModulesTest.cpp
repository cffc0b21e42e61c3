#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "bridge/NativeCall.h"
#include "bridge/Result.h"
#include "midi/ServiceSelection.h"
#include "midi/virtual/VirtualMIDIService.h"
#include "modules/midi/MidiModule.h"
#include "modules/midix/MidixModule.h"
#include "modules/tgif/TgifModule.h"
#include "support/TestServices.h"

using namespace lumetta;
using bridge::NativeCall;
using midi::VirtualMIDISystem;
using nlohmann::json;

namespace {

using Bytes = std::vector<uint8_t>;

// A destination that keeps what it was sent.
struct Sink {
    std::mutex lock;
    Bytes bytes;
    size_t packets = 0;
    VirtualMIDISystem::Receiver receiver() {
        return [this](const midi::MIDIPacket& p) {
            std::lock_guard guard(lock);
            bytes.insert(bytes.end(), p.data, p.data + p.length);
            ++packets;
        };
    }
    Bytes take() {
        std::lock_guard guard(lock);
        return std::exchange(bytes, {});
    }
};

std::vector<std::string> fields(const std::string& event) {
    std::vector<std::string> out;
    for (auto f : bridge::splitFields(event, '\f')) out.emplace_back(f);
    return out;
}

class MidiModulesTest : public ::testing::Test {
  protected:
    explicit MidiModulesTest(bool loopback = true) : system(VirtualMIDISystem::create(loopback)) {
        midi::setServiceFactory([this](const std::string& name) {
            std::lock_guard guard(namesLock);
            clientNames.push_back(name);
            return system->openClient(name);
        });
    }
    ~MidiModulesTest() override {
        native.reset();
        midi::setServiceFactory(nullptr);
    }
    void SetUp() override { start(); }

    void start() {
        native = std::make_unique<NativeCall>(
            host.services, std::vector<bridge::ModuleDescriptor>{modules::midi::descriptor(),
                                                                 modules::midix::descriptor(),
                                                                 modules::tgif::descriptor()});
    }

    std::string call(const std::string& function, bridge::Arg a1 = std::nullopt,
                     bridge::Arg a2 = std::nullopt) {
        return native->call(function, a1, a2);
    }

    // Every event queued so far, after running the main thread's tasks.
    std::vector<std::string> drain() {
        host.mainThread.runPending();
        std::vector<std::string> out;
        while (auto e = native->queue().take()) out.push_back(*e);
        return out;
    }

    // Collects events until `count` of them match `prefix`; gives up after two seconds.
    std::vector<std::string> waitFor(const std::string& prefix, size_t count) {
        std::vector<std::string> matching;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (matching.size() < count && std::chrono::steady_clock::now() < end) {
            for (auto& e : drain())
                if (e.rfind(prefix, 0) == 0) matching.push_back(e);
            if (matching.size() < count) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return matching;
    }

    // Lets the receive threads settle, then returns what arrived.
    std::vector<std::string> settle() {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return drain();
    }

    json list(const std::string& function) {
        std::string r = call(function);
        EXPECT_EQ(r.substr(0, 1), "s");
        return json::parse(r.substr(1));
    }

    std::shared_ptr<VirtualMIDISystem> system;
    test::TestHost host;
    std::mutex namesLock;
    std::vector<std::string> clientNames;
    std::unique_ptr<NativeCall> native;
};

class MidiModulesWithoutEndpointsTest : public MidiModulesTest {
  protected:
    MidiModulesWithoutEndpointsTest() : MidiModulesTest(false) {}
};

VirtualMIDISystem::EndpointSpec spec(std::string name, int32_t uid) {
    VirtualMIDISystem::EndpointSpec s;
    s.name = std::move(name);
    s.uniqueID = uid;
    return s;
}

std::string uidArg(int32_t uid) {
    return json{{"MIDIEndpointUIDKey", uid}}.dump();
}

std::string hexOf(const Bytes& bytes) {
    return bridge::hexStringFromBytes(bytes);
}

}  // namespace

TEST_F(MidiModulesTest, StartUpAnnouncesTheFirstStateWithOneChangedEvent) {
    EXPECT_EQ(drain(), (std::vector<std::string>{"midi\fchanged"}));
    EXPECT_EQ(clientNames, (std::vector<std::string>{"com.velmar.lumetta.midi#0"}));
}

TEST_F(MidiModulesWithoutEndpointsTest, StartUpWithoutEndpointsIsSilent) {
    EXPECT_TRUE(drain().empty());
    EXPECT_EQ(call("$$midi_inendpoints"), "s[]");
}

TEST_F(MidiModulesTest, EndpointListsAreJSONDictionaries) {
    json in = list("$$midi_inendpoints");
    json out = list("$$midi_outendpoints");
    ASSERT_EQ(in.size(), 1u);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(in[0]["MIDIDeviceNameKey"], "Lumetta Loopback");
    EXPECT_EQ(in[0]["MIDIEntityNameKey"], "Lumetta Loopback");
    EXPECT_TRUE(in[0]["MIDIEndpointUIDKey"].is_number_integer());
    EXPECT_TRUE(in[0].contains("MIDIEndpointIndexKey"));
    EXPECT_EQ(list("$$midix_inendpoints"), in);
    EXPECT_EQ(list("$$midix_outendpoints"), out);
}

// The page's path end to end: connect the loopback pair, send a note and a 600-byte SysEx,
// and get both back as "message" events.
TEST_F(MidiModulesTest, LoopbackNoteAndLongSysExComeBackAsMessageEvents) {
    drain();
    json in = list("$$midi_inendpoints");
    json out = list("$$midi_outendpoints");
    EXPECT_EQ(call("$$midi_inconnect", in[0].dump()), "v");
    EXPECT_EQ(call("$$midi_outconnect", out[0].dump()), "v");

    EXPECT_EQ(call("$$midi_send", std::string("903C64")), "v");
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    Bytes sysex{0xF0};
    for (int i = 0; i < 600; ++i) sysex.push_back(static_cast<uint8_t>((i * 7) & 0x7F));
    sysex.push_back(0xF7);
    EXPECT_EQ(call("$$midi_send", hexOf(sysex)), "v");

    auto events = waitFor("midi\fmessage", 2);
    ASSERT_EQ(events.size(), 2u);
    auto note = fields(events[0]);
    auto long_ = fields(events[1]);
    ASSERT_EQ(note.size(), 4u);
    ASSERT_EQ(long_.size(), 4u);
    EXPECT_EQ(note[2], "903C64");
    // A delivered SysEx holds at most 512 bytes: F0, the first 510 data bytes, F7.
    Bytes expected(sysex.begin(), sysex.begin() + 511);
    expected.push_back(0xF7);
    EXPECT_EQ(long_[2], hexOf(expected));
    EXPECT_LT(std::stoul(note[3]), std::stoul(long_[3]));
}

TEST_F(MidiModulesTest, InconnectWithoutArgumentConnectsCurrentSourcesOnly) {
    auto early = system->addSource(spec("Early", 500));
    EXPECT_EQ(call("$$midi_inconnect"), "v");
    auto late = system->addSource(spec("Late", 501));
    const Bytes a{0x90, 0x01, 0x02}, b{0x90, 0x03, 0x04};
    system->emit(late, b.data(), b.size());
    system->emit(early, a.data(), a.size());
    auto events = waitFor("midi\fmessage", 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(fields(events[0])[2], "900102");
    for (auto& e : settle()) EXPECT_NE(e.rfind("midi\fmessage", 0), 0u) << e;
}

TEST_F(MidiModulesTest, SendDecodesHexToEveryConnectedDestination) {
    Sink one, two;
    system->addDestination(spec("One", 600), one.receiver());
    system->addDestination(spec("Two", 601), two.receiver());
    call("$$midi_outconnect", uidArg(600));
    call("$$midi_outconnect", uidArg(601));
    EXPECT_EQ(call("$$midi_send", std::string("F0411042F7")), "v");
    EXPECT_EQ(one.take(), (Bytes{0xF0, 0x41, 0x10, 0x42, 0xF7}));
    EXPECT_EQ(two.take(), (Bytes{0xF0, 0x41, 0x10, 0x42, 0xF7}));
    EXPECT_EQ(call("$$midi_send", std::string("")), "v");
    EXPECT_EQ(call("$$midi_send"), "v");
    EXPECT_TRUE(one.take().empty());
    call("$$midi_outdisconnect", uidArg(600));
    call("$$midi_send", std::string("C005"));
    EXPECT_TRUE(one.take().empty());
    EXPECT_EQ(two.take(), (Bytes{0xC0, 0x05}));
    call("$$midi_outdisconnect");
    call("$$midi_send", std::string("C005"));
    EXPECT_TRUE(two.take().empty());
}

TEST_F(MidiModulesTest, SendAbove512BytesGoesOutInOrderInPiecesOfAtMost512) {
    Sink sink;
    system->addDestination(spec("Synth", 600), sink.receiver());
    call("$$midi_outconnect", uidArg(600));
    Bytes data(1100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    call("$$midi_send", hexOf(data));
    EXPECT_EQ(sink.packets, 3u);
    EXPECT_EQ(sink.take(), data);
}

TEST_F(MidiModulesTest, FailedInputConnectionIsAnEventCarryingThePagesDictionary) {
    drain();
    json mine{{"MIDIEndpointUIDKey", 4242}, {"label", "mine"}};
    EXPECT_EQ(call("$$midi_inconnect", mine.dump()), "v");
    auto events = drain();
    ASSERT_EQ(events.size(), 1u);
    auto f = fields(events[0]);
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0], "midi");
    EXPECT_EQ(f[1], "connectfailed");
    EXPECT_EQ(json::parse(f[2]), mine);
}

TEST_F(MidiModulesTest, OfflineDestinationIsRefusedWithConnectFailed) {
    Sink sink;
    auto dst = system->addDestination(spec("Sleeping", 700), sink.receiver());
    system->setOffline(dst, 1);
    call("$$midix_client", std::string("1"));
    settle();
    call("$$midi_outconnect", uidArg(700));
    call("$$midix_outconnect", std::string("0"), uidArg(700));
    auto events = drain();
    ASSERT_EQ(events.size(), 2u);
    auto midiEvent = fields(events[0]);
    auto midixEvent = fields(events[1]);
    ASSERT_EQ(midiEvent.size(), 3u);
    ASSERT_EQ(midixEvent.size(), 4u);
    EXPECT_EQ(midiEvent[1], "connectfailed");
    EXPECT_EQ(json::parse(midiEvent[2])["MIDIEndpointUIDKey"], 700);
    EXPECT_EQ(midixEvent[0], "midix");
    EXPECT_EQ(midixEvent[2], "0");
    call("$$midi_send", std::string("903C64"));
    EXPECT_TRUE(sink.take().empty());
}

TEST_F(MidiModulesTest, IOErrorIsAMidiErrorEventWithItsCode) {
    settle();
    system->raiseIOError(-10830);
    auto midiErrors = waitFor("midi\ferror", 1);
    ASSERT_EQ(midiErrors.size(), 1u);
    EXPECT_EQ(midiErrors[0], "midi\ferror\f-10830");
}

TEST_F(MidiModulesTest, MidixClientsAreMadeOnceWithUids10Upwards) {
    EXPECT_EQ(call("$$midix_client", std::string("2")), "v");
    EXPECT_EQ(call("$$midix_client", std::string("3")), "v");
    EXPECT_EQ(native->module<modules::midix::MidixModule>()->clientCount(), 2u);
    EXPECT_EQ(clientNames,
              (std::vector<std::string>{"com.velmar.lumetta.midi#0", "com.velmar.lumetta.midi#10",
                                        "com.velmar.lumetta.midi#11"}));
    // The first state is announced once, by client 0.
    auto events = drain();
    EXPECT_EQ(std::count(events.begin(), events.end(), "midix\fchanged"), 1);
}

TEST_F(MidiModulesTest, MidixClientWithZeroOrNoCountMakesNothing) {
    call("$$midix_client", std::string("0"));
    call("$$midix_client");
    call("$$midix_client", std::string("abc"));
    EXPECT_EQ(native->module<modules::midix::MidixModule>()->clientCount(), 0u);
    call("$$midix_client", std::string(" 1x"));
    EXPECT_EQ(native->module<modules::midix::MidixModule>()->clientCount(), 1u);
}

TEST_F(MidiModulesTest, MidixIndexWithoutClientFailsTheCall) {
    call("$$midix_client", std::string("1"));
    EXPECT_EQ(call("$$midix_send", std::string("1"), std::string("903C64")).substr(0, 1), "e");
    EXPECT_EQ(call("$$midix_inconnect", std::string("-1")).substr(0, 1), "e");
    EXPECT_EQ(call("$$midix_thru", std::string("5"), std::string("1")).substr(0, 1), "e");
    EXPECT_EQ(call("$$midix_outconnect", std::string("0")), "v");
}

TEST_F(MidiModulesTest, ThruEchoesToTheClientsDestinationsAndPostsTheMessage) {
    auto src = system->addSource(spec("Keys", 800));
    Sink sink;
    system->addDestination(spec("Synth", 801), sink.receiver());
    call("$$midix_client", std::string("2"));
    call("$$midix_inconnect", std::string("1"), uidArg(800));
    call("$$midix_outconnect", std::string("1"), uidArg(801));
    call("$$midix_outconnect", std::string("0"), uidArg(801));
    drain();

    // Thru off: an event, nothing sent.
    const Bytes note{0x90, 0x3C, 0x64};
    system->emit(src, note.data(), note.size());
    auto first = waitFor("midix\fmessage", 1);
    ASSERT_EQ(first.size(), 1u);
    auto f = fields(first[0]);
    ASSERT_EQ(f.size(), 5u);
    EXPECT_EQ(f[2], "1");
    EXPECT_EQ(f[3], "903C64");
    EXPECT_TRUE(sink.take().empty());

    EXPECT_EQ(call("$$midix_thru", std::string("1"), std::string("YES")), "v");
    const Bytes sysex{0xF0, 0x43, 0x10, 0x4C, 0xF7};
    system->emit(src, sysex.data(), sysex.size());
    auto second = waitFor("midix\fmessage", 1);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(fields(second[0])[3], "F043104CF7");
    EXPECT_EQ(sink.take(), sysex);

    call("$$midix_thru", std::string("1"), std::string("0"));
    system->emit(src, note.data(), note.size());
    ASSERT_EQ(waitFor("midix\fmessage", 1).size(), 1u);
    EXPECT_TRUE(sink.take().empty());
}

TEST_F(MidiModulesTest, EachAddOrRemoveGivesOneMidiAndOneMidixChangedEvent) {
    call("$$midix_client", std::string("3"));
    settle();
    auto src = system->addSource(spec("Keys", 900));
    auto changed = waitFor("midi", 2);
    auto more = settle();
    changed.insert(changed.end(), more.begin(), more.end());
    EXPECT_EQ(std::count(changed.begin(), changed.end(), "midi\fchanged"), 1);
    EXPECT_EQ(std::count(changed.begin(), changed.end(), "midix\fchanged"), 1);

    call("$$midi_inconnect", uidArg(900));
    system->remove(src);
    auto removed = waitFor("midi", 2);
    more = settle();
    removed.insert(removed.end(), more.begin(), more.end());
    EXPECT_EQ(std::count(removed.begin(), removed.end(), "midi\fchanged"), 1);
    EXPECT_EQ(std::count(removed.begin(), removed.end(), "midix\fchanged"), 1);
}

TEST_F(MidiModulesTest, MidixEventsCarryTheClientIndex) {
    call("$$midix_client", std::string("2"));
    drain();
    call("$$midix_inconnect", std::string("1"), uidArg(31337));
    auto events = drain();
    ASSERT_EQ(events.size(), 1u);
    auto f = fields(events[0]);
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[0], "midix");
    EXPECT_EQ(f[1], "connectfailed");
    EXPECT_EQ(f[2], "1");
    EXPECT_EQ(json::parse(f[3])["MIDIEndpointUIDKey"], 31337);

    system->raiseIOError(7);
    auto errors = waitFor("midix\ferror", 2);
    ASSERT_EQ(errors.size(), 2u);
    std::sort(errors.begin(), errors.end());
    EXPECT_EQ(errors[0], "midix\ferror\f0\f7");
    EXPECT_EQ(errors[1], "midix\ferror\f1\f7");
}

TEST_F(MidiModulesTest, InvalidEndpointTextIsAFailedConnection) {
    drain();
    call("$$midi_inconnect", std::string("{not json"));
    auto events = drain();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], "midi\fconnectfailed\fnull");
}

TEST_F(MidiModulesTest, PanelAnswersVoid) {
    // No connection tool is installed on the test machines; the call must still settle.
    const char* old = getenv("PATH");
    const std::string saved = old ? old : "";
    setenv("PATH", "/nonexistent", 1);
    EXPECT_EQ(call("$$midi_panel"), "v");
    EXPECT_EQ(call("$$midix_panel"), "v");
    setenv("PATH", saved.c_str(), 1);
}

TEST_F(MidiModulesTest, TgifAnswersFixedResults) {
    EXPECT_EQ(call("$$tgif_buffer"), "d-1");
    EXPECT_EQ(call("$$tgif_buffer", std::string("x")), "v");
    EXPECT_EQ(call("$$tgif_param", std::string("x")), "d0");
    EXPECT_EQ(call("$$tgif_param", std::string("x"), std::string("y")), "v");
    EXPECT_EQ(call("$$tgif_send", std::string("x"), std::string("y")), "v");
    EXPECT_EQ(call("$$tgif_thru"), "v");
}

TEST_F(MidiModulesTest, TeardownWithTrafficInFlightIsClean) {
    call("$$midix_client", std::string("2"));
    json in = list("$$midi_inendpoints");
    json out = list("$$midi_outendpoints");
    call("$$midi_inconnect", in[0].dump());
    call("$$midi_outconnect", out[0].dump());
    call("$$midix_inconnect", std::string("1"), in[0].dump());
    call("$$midix_outconnect", std::string("1"), out[0].dump());
    call("$$midix_thru", std::string("1"), std::string("1"));
    for (int i = 0; i < 50; ++i) call("$$midi_send", std::string("903C64"));
    native.reset();
}

TEST_F(MidiModulesTest, MidixClientCountAboveTheCapAnswersEAndMakesNothing) {
    const int32_t cap = modules::midix::MidixModule::kMaxClients;
    size_t servicesBefore = clientNames.size();
    EXPECT_EQ(call("$$midix_client", std::to_string(cap + 1)).substr(0, 1), "e");
    EXPECT_EQ(call("$$midix_client", std::string("100000")).substr(0, 1), "e");
    EXPECT_EQ(native->module<modules::midix::MidixModule>()->clientCount(), 0u);
    EXPECT_EQ(clientNames.size(), servicesBefore) << "no service was opened";
    EXPECT_EQ(call("$$midix_client", std::to_string(cap)), "v");
    EXPECT_EQ(native->module<modules::midix::MidixModule>()->clientCount(),
              static_cast<size_t>(cap));
}

TEST_F(MidiModulesTest, MidixClientsThatFailPartWayLeaveNoneBehind) {
    // The third service cannot be opened, then the third throws.
    for (bool throws : {false, true}) {
        midi::setServiceFactory(
            [this, throws](const std::string& name) -> std::unique_ptr<midi::MIDIService> {
                if (name.find("#12") != std::string::npos) {
                    if (throws) throw std::runtime_error("no more threads");
                    return nullptr;
                }
                return system->openClient(name);
            });
        EXPECT_EQ(call("$$midix_client", std::string("4")).substr(0, 1), "e") << throws;
        EXPECT_EQ(native->module<modules::midix::MidixModule>()->clientCount(), 0u) << throws;
        EXPECT_EQ(call("$$midix_send", std::string("0"), std::string("903C64")).substr(0, 1), "e");
    }
    drain();
    midi::setServiceFactory([this](const std::string& name) { return system->openClient(name); });
    EXPECT_EQ(call("$$midix_client", std::string("2")), "v") << "a later call still works";
    EXPECT_EQ(native->module<modules::midix::MidixModule>()->clientCount(), 2u);
    auto events = drain();
    EXPECT_EQ(std::count(events.begin(), events.end(), "midix\fchanged"), 1)
        << "only the clients that were kept announce the state";
}
