// The ALSA MIDI service on the fake sequencer: what a desktop with USB MIDI devices and other
// MIDI programs does to it, without a kernel.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "midi/alsa/AlsaMIDIService.h"
#include "midi/alsa/FakeSequencer.h"
#include "midi/alsa/SequencerOutput.h"

using namespace lumetta::midi;
using namespace lumetta::midi::testing;
using namespace std::chrono_literals;

namespace {

// Hang guard only: every wait here ends as soon as its condition holds.
constexpr auto kPatience = 10s;

class Listener final : public MIDIServiceListener {
  public:
    void midiPacket(const MIDIPacket& packet, void* context) override {
        std::lock_guard guard(lock);
        packets.emplace_back(packet.data, packet.data + packet.length);
        contexts.push_back(context);
        changed.notify_all();
    }
    void midiObjectAdded(MIDIObjectKind kind, MIDIEndpointRef ref) override {
        std::lock_guard guard(lock);
        added.push_back({kind, ref});
        changed.notify_all();
    }
    void midiObjectRemoved(MIDIObjectKind kind, MIDIEndpointRef ref) override {
        std::lock_guard guard(lock);
        removed.push_back({kind, ref});
        changed.notify_all();
    }
    void midiIOError(int32_t code) override {
        std::lock_guard guard(lock);
        errors.push_back(code);
        changed.notify_all();
    }

    template <class Predicate>
    bool waitFor(Predicate predicate) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, kPatience, [&] { return predicate(); });
    }
    bool hasError(int code) {
        return std::find(errors.begin(), errors.end(), code) != errors.end();
    }
    size_t errorCount() {
        std::lock_guard guard(lock);
        return errors.size();
    }
    bool wasAdded(MIDIEndpointRef ref) {
        return std::any_of(added.begin(), added.end(), [&](auto& c) { return c.second == ref; });
    }
    bool wasRemoved(MIDIEndpointRef ref) {
        return std::any_of(removed.begin(), removed.end(),
                           [&](auto& c) { return c.second == ref; });
    }

    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::vector<uint8_t>> packets;
    std::vector<void*> contexts;
    std::vector<std::pair<MIDIObjectKind, MIDIEndpointRef>> added, removed;
    std::vector<int32_t> errors;
};

bool contains(const std::vector<uint8_t>& haystack, const std::vector<uint8_t>& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

std::vector<uint8_t> sysExOf(size_t dataBytes) {
    std::vector<uint8_t> bytes{0xF0};
    for (size_t i = 0; i < dataBytes; ++i) bytes.push_back(static_cast<uint8_t>(i % 0x7F));
    bytes.push_back(0xF7);
    return bytes;
}

MIDIPacketList packetOf(const std::vector<uint8_t>& bytes) {
    MIDIPacketList list;
    list.add(0, bytes.data(), bytes.size());
    return list;
}

class AlsaMIDIServiceFake : public ::testing::Test {
  protected:
    void SetUp() override { system = FakeSequencerSystem::create(); }
    void TearDown() override {
        if (service) service->stop();
    }

    // Opens the service on the fake system; `started` runs its receive thread.
    void open(bool started = true) {
        auto seq = system->open("com.velmar.lumetta.midi#0");
        fake = seq.get();
        auto opened = openAlsaMIDIService(std::move(seq), system->clock());
        ASSERT_TRUE(opened.hasValue()) << opened.error().message;
        service = std::move(*opened);
        if (started) service->start(listener);
    }

    // A software keyboard "Keys", then the service open with the keyboard connected.
    void openWithKeyboardConnected() {
        keyboard = system->addSoftwarePort("Keyboard", "Keys");
        open();
        ASSERT_EQ(service->connectSource(refOf("Keys", true), &context), 0);
    }

    MIDIEndpointRef refOf(const std::string& portName, bool source) {
        for (auto ref : source ? service->sources() : service->destinations())
            if (service->properties(ref)->name == portName) return ref;
        return 0;
    }

    // Our client's input port (the first port it made).
    Address ourInput() const { return Address{fake->clientId(), 0}; }
    Address ourOutput() const { return Address{fake->clientId(), 1}; }

    void sendInPieces(MIDIEndpointRef destination, const std::vector<uint8_t>& bytes) {
        for (size_t at = 0; at < bytes.size(); at += 512) {
            const size_t piece = std::min<size_t>(512, bytes.size() - at);
            MIDIPacketList list;
            list.add(0, bytes.data() + at, piece);
            ASSERT_EQ(service->send(destination, list), 0) << "piece at " << at;
        }
    }

    bool waitForReceived(Address port, size_t size) {
        const auto end = std::chrono::steady_clock::now() + kPatience;
        while (std::chrono::steady_clock::now() < end) {
            if (system->received(port).size() >= size) return true;
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }

    std::shared_ptr<FakeSequencerSystem> system;
    FakeSequencer* fake = nullptr;
    Listener listener;
    std::unique_ptr<MIDIService> service;
    Address keyboard{};
    int context = 0;
};

// ---- Output reaches hardware: the service subscribes to each destination.

TEST_F(AlsaMIDIServiceFake, SendSubscribesToAHardwarePortSoItsOutputOpens) {
    const Address synth = system->addHardwarePort("UM-ONE", "UM-ONE MIDI 1", 1,
                                                  "Roland UM-ONE at usb-0000:00:14.0-2");
    open();
    const MIDIEndpointRef destination = refOf("UM-ONE MIDI 1", false);
    ASSERT_NE(destination, 0u);
    const std::vector<uint8_t> note{0x90, 0x3C, 0x64};
    ASSERT_EQ(service->send(destination, packetOf(note)), 0);
    ASSERT_TRUE(waitForReceived(synth, 3)) << "the note never reached the device";
    EXPECT_EQ(system->received(synth), note);
    EXPECT_TRUE(system->isSubscribed(ourOutput(), synth));
    EXPECT_EQ(listener.errorCount(), 0u);
}

TEST_F(AlsaMIDIServiceFake, ADestinationHeldExclusivelyFailsTheSendAndIsReported) {
    const Address synth =
        system->addHardwarePort("UM-ONE", "UM-ONE MIDI 1", 1, "Roland UM-ONE at usb-1");
    const int other = system->addClient("Exclusive Editor");
    const int otherPort =
        system->addPort(other, "out", SND_SEQ_PORT_CAP_READ, FakeSequencerSystem::kApplicationType);
    // Another program holds the device for itself: our subscription answers -EBUSY.
    ASSERT_EQ(system->subscribe(Address{other, otherPort}, synth, true, other), 0);
    open();
    EXPECT_EQ(service->send(refOf("UM-ONE MIDI 1", false), packetOf({0x90, 0x3C, 0x64})), -EBUSY);
    EXPECT_FALSE(system->isSubscribed(ourOutput(), synth));
    ASSERT_TRUE(listener.waitFor([&] { return listener.hasError(EBUSY); }))
        << "a send that could not reach its destination was not reported";
}

TEST_F(AlsaMIDIServiceFake, PortExitForgetsTheOutputSubscription) {
    const Address synth =
        system->addHardwarePort("UM-ONE", "UM-ONE MIDI 1", 1, "Roland UM-ONE at usb-1");
    open();
    ASSERT_EQ(service->send(refOf("UM-ONE MIDI 1", false), packetOf({0x90, 0x3C, 0x64})), 0);
    ASSERT_TRUE(waitForReceived(synth, 3));
    // Unplugged and plugged in again: the kernel ended our subscription with the old port.
    system->removePort(synth);
    ASSERT_TRUE(listener.waitFor([&] { return !listener.removed.empty(); }));
    const int again = system->addPort(synth.client, "UM-ONE MIDI 1", FakeSequencerSystem::kDuplex,
                                      FakeSequencerSystem::kHardwareType);
    ASSERT_EQ(again, synth.port);
    ASSERT_TRUE(listener.waitFor([&] { return listener.added.size() >= 2; }));
    ASSERT_EQ(service->send(refOf("UM-ONE MIDI 1", false), packetOf({0x80, 0x3C, 0x00})), 0);
    ASSERT_TRUE(waitForReceived(synth, 3)) << "the replugged device got nothing";
    EXPECT_EQ(system->received(synth), (std::vector<uint8_t>{0x80, 0x3C, 0x00}));
}

// ---- Exclusive subscriptions answer -EBUSY too: only our own subscription is success.

TEST_F(AlsaMIDIServiceFake, ASourceHeldExclusivelyByAnotherProgramFailsToConnect) {
    keyboard = system->addSoftwarePort("Keyboard", "Keys");
    const int other = system->addClient("Exclusive Recorder");
    const int otherPort =
        system->addPort(other, "in", SND_SEQ_PORT_CAP_WRITE, FakeSequencerSystem::kApplicationType);
    ASSERT_EQ(system->subscribe(keyboard, Address{other, otherPort}, true, other), 0);
    open();
    EXPECT_EQ(service->connectSource(refOf("Keys", true), &context), -EBUSY);
    EXPECT_FALSE(system->isSubscribed(keyboard, ourInput()));
}

TEST_F(AlsaMIDIServiceFake, ConnectingAConnectedSourceAgainSucceedsWithTheNewContext) {
    keyboard = system->addSoftwarePort("Keyboard", "Keys");
    open();
    int first = 0, second = 0;
    const MIDIEndpointRef source = refOf("Keys", true);
    ASSERT_EQ(service->connectSource(source, &first), 0);
    ASSERT_EQ(service->connectSource(source, &second), 0);
    system->emit(keyboard, {0x90, 0x3C, 0x64});
    ASSERT_TRUE(listener.waitFor([&] { return !listener.packets.empty(); }));
    EXPECT_EQ(listener.contexts[0], &second);
}

// ---- Endpoint IDs stay with their ports.

TEST_F(AlsaMIDIServiceFake, UnpluggingOneOfTwoSameNamedPortsKeepsTheOthersID) {
    const Address first = system->addSoftwarePort("Synth", "Synth In");
    system->addSoftwarePort("Synth", "Synth In");
    open();
    const auto before = service->sources();
    ASSERT_EQ(before.size(), 2u);
    ASSERT_NE(before[0], before[1]);
    system->removeClient(first.client);
    ASSERT_TRUE(listener.waitFor([&] { return listener.removed.size() >= 2; }));
    const auto after = service->sources();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0], before[1]) << "the remaining port moved onto the unplugged one's ID";
    EXPECT_TRUE(listener.wasRemoved(before[0]));
    EXPECT_FALSE(listener.wasRemoved(before[1]));
}

TEST_F(AlsaMIDIServiceFake, IdenticalDevicesAreToldApartByTheirCardsAcrossReplugs) {
    // Two identical interfaces on USB ports 2 and 3.
    system->addHardwarePort("UM-ONE", "UM-ONE MIDI 1", 1, "Roland UM-ONE at usb-0000:00:14.0-2");
    system->addHardwarePort("UM-ONE", "UM-ONE MIDI 1", 2, "Roland UM-ONE at usb-0000:00:14.0-3");
    open();
    const auto firstRun = service->sources();
    ASSERT_EQ(firstRun.size(), 2u);
    ASSERT_NE(firstRun[0], firstRun[1]);
    service->stop();
    service.reset();

    // Next session they are found the other way round: the one on port 3 became card 1.
    system = FakeSequencerSystem::create();
    system->addHardwarePort("UM-ONE", "UM-ONE MIDI 1", 1, "Roland UM-ONE at usb-0000:00:14.0-3");
    system->addHardwarePort("UM-ONE", "UM-ONE MIDI 1", 2, "Roland UM-ONE at usb-0000:00:14.0-2");
    open();
    const auto secondRun = service->sources();
    ASSERT_EQ(secondRun.size(), 2u);
    EXPECT_EQ(secondRun[0], firstRun[1]) << "the device on USB port 3 changed its ID";
    EXPECT_EQ(secondRun[1], firstRun[0]) << "the device on USB port 2 changed its ID";
}

TEST_F(AlsaMIDIServiceFake, AReplugOnTheSameUSBPortKeepsTheIDAndTheOtherDeviceKeepsItsOwn) {
    const Address a =
        system->addHardwarePort("UM-ONE", "UM-ONE MIDI 1", 1, "Roland UM-ONE at usb-1-2");
    system->addHardwarePort("UM-ONE", "UM-ONE MIDI 1", 2, "Roland UM-ONE at usb-1-3");
    open();
    const auto before = service->destinations();
    ASSERT_EQ(before.size(), 2u);
    system->removeClient(a.client);
    ASSERT_TRUE(listener.waitFor([&] { return listener.removed.size() >= 2; }));
    EXPECT_EQ(service->destinations(), std::vector<MIDIEndpointRef>{before[1]});
    // Back on the same USB port, as a new client on a new card number.
    system->addHardwarePort("UM-ONE", "UM-ONE MIDI 1", 3, "Roland UM-ONE at usb-1-2");
    ASSERT_TRUE(listener.waitFor([&] { return listener.wasAdded(before[0]); }));
    auto after = service->destinations();
    std::sort(after.begin(), after.end());
    auto expected = before;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(after, expected);
}

// ---- Input overflow.

TEST_F(AlsaMIDIServiceFake, TheInputPoolIsEnlargedBeyondTheKernelDefault) {
    open();
    EXPECT_GT(fake->inputPool(), 200u);
}

TEST_F(AlsaMIDIServiceFake, OverflowDropsASysExThatLostItsMiddle) {
    ASSERT_NO_FATAL_FAILURE(openWithKeyboardConnected());
    system->emitSysExChunk(keyboard, {0xF0, 0x41, 0x10, 0x01, 0x02});
    ASSERT_TRUE(fake->waitUntilDrained(kPatience));
    fake->hold(true);
    system->emitSysExChunk(keyboard, {0x03, 0x04});  // lost
    fake->overflow();
    fake->hold(false);
    system->emitSysExChunk(keyboard, {0x05, 0xF7});
    system->emit(keyboard, {0x90, 0x3C, 0x64});
    ASSERT_TRUE(listener.waitFor([&] { return !listener.packets.empty(); }));
    ASSERT_TRUE(listener.waitFor([&] { return listener.hasError(ENOSPC); }));
    std::lock_guard guard(listener.lock);
    for (auto& packet : listener.packets)
        EXPECT_NE(packet.front(), 0xF0) << "a SysEx with its middle missing was delivered whole";
    EXPECT_EQ(listener.packets.back(), (std::vector<uint8_t>{0x90, 0x3C, 0x64}));
}

TEST_F(AlsaMIDIServiceFake, OverflowRecoversThePortNoticesItLost) {
    const Address leaving = system->addSoftwarePort("Old Synth", "Old");
    open();
    const MIDIEndpointRef oldSource = refOf("Old", true);
    ASSERT_NE(oldSource, 0u);
    fake->hold(true);
    system->addSoftwarePort("New Synth", "New");
    system->removeClient(leaving.client);
    fake->overflow();  // both announcements are lost
    fake->hold(false);
    ASSERT_TRUE(listener.waitFor([&] { return listener.wasRemoved(oldSource); }))
        << "the port that left during the overflow was never reported";
    const MIDIEndpointRef newSource = refOf("New", true);
    ASSERT_NE(newSource, 0u);
    EXPECT_TRUE(listener.waitFor([&] { return listener.wasAdded(newSource); }))
        << "the port that came during the overflow was never reported";
}

// ---- Long SysEx to slow hardware.

TEST_F(AlsaMIDIServiceFake, ALongSysExReachesHardwareWholeAtTheWireRate) {
    const Address synth =
        system->addHardwarePort("Synth", "Synth MIDI 1", 1, "Synth at usb-0000:00:14.0-4");
    open();
    const auto dump = sysExOf(20000);
    const auto startedAt = system->clock()->now();
    sendInPieces(refOf("Synth MIDI 1", false), dump);
    ASSERT_TRUE(waitForReceived(synth, dump.size()));
    EXPECT_EQ(system->dropped(synth), 0u) << "bytes were lost in the device's buffer";
    EXPECT_EQ(system->received(synth), dump);
    // Nothing faster than the wire: all but what the buffer holds took the wire's time.
    const auto took = system->clock()->now() - startedAt;
    const auto wire = std::chrono::nanoseconds(
        (static_cast<int64_t>(dump.size()) - SequencerOutput::kHardwareWindow) * 1'000'000'000 /
        SequencerOutput::kWireBytesPerSecond);
    EXPECT_GE(took, wire);
}

TEST_F(AlsaMIDIServiceFake, SendingALongSysExDoesNotWaitForTheWire) {
    const Address synth = system->addHardwarePort("Synth", "Synth MIDI 1", 1, "Synth at usb-4");
    system->clock()->setAutoAdvance(false);
    open();
    const auto dump = sysExOf(20000);
    // Every piece is queued at once, although the wire needs seconds (of a clock that stands).
    sendInPieces(refOf("Synth MIDI 1", false), dump);
    EXPECT_LT(system->received(synth).size(), dump.size());
    // Then the wire takes it as the clock goes on.
    for (int i = 0; i < 200 && system->received(synth).size() < dump.size(); ++i) {
        system->clock()->advance(50ms);
        std::this_thread::sleep_for(2ms);
    }
    system->clock()->setAutoAdvance(true);
    ASSERT_TRUE(waitForReceived(synth, dump.size()));
    EXPECT_EQ(system->received(synth), dump);
    EXPECT_EQ(system->dropped(synth), 0u);
}

TEST_F(AlsaMIDIServiceFake, ABusySoftwarePortIsRetriedUntilItTakesEverything) {
    const Address app = system->addSoftwarePort("Sequencer App", "App In");
    open();
    system->failWrites(app, -EAGAIN, 20);
    const auto dump = sysExOf(3000);
    sendInPieces(refOf("App In", false), dump);
    ASSERT_TRUE(waitForReceived(app, dump.size()));
    EXPECT_EQ(system->received(app), dump);
    EXPECT_EQ(listener.errorCount(), 0u);
}

TEST_F(AlsaMIDIServiceFake, APortThatNeverTakesIsReportedAndItsBytesDropped) {
    const Address app = system->addSoftwarePort("Stuck App", "Stuck In");
    open();
    system->failWrites(app, -ENOMEM, 1 << 30);
    ASSERT_EQ(service->send(refOf("Stuck In", false), packetOf(sysExOf(400))), 0);
    ASSERT_TRUE(listener.waitFor([&] { return listener.hasError(ENOMEM); }))
        << "bytes that could not be sent were not reported";
    system->failWrites(app, 0, 0);
    // What was dropped does not come out later; the next message goes through alone.
    const std::vector<uint8_t> note{0x90, 0x3C, 0x64};
    ASSERT_EQ(service->send(refOf("Stuck In", false), packetOf(note)), 0);
    ASSERT_TRUE(waitForReceived(app, 3));
    EXPECT_EQ(system->received(app), note);
}

// ---- Only MIDI ports are listed.

TEST_F(AlsaMIDIServiceFake, OnlyActiveMIDIPortsAreListed) {
    const int ump = system->addClient("MIDI 2.0 Keyboard", true, 1);
    const unsigned umpType = FakeSequencerSystem::kHardwareType | (1u << 7);
    system->addPort(ump, "MIDI 2.0", FakeSequencerSystem::kDuplex | SND_SEQ_PORT_CAP_UMP_ENDPOINT,
                    SND_SEQ_PORT_TYPE_HARDWARE | SND_SEQ_PORT_TYPE_PORT | (1u << 7));
    system->addPort(ump, "Group 1 (Keys)", FakeSequencerSystem::kDuplex, umpType);
    system->addPort(ump, "Group 2", FakeSequencerSystem::kDuplex | SND_SEQ_PORT_CAP_INACTIVE,
                    umpType);
    const int synth = system->addClient("Soft Synth");
    system->addPort(synth, "Synth", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                    SND_SEQ_PORT_TYPE_SYNTH | SND_SEQ_PORT_TYPE_SOFTWARE);
    const int pcm = system->addClient("Audio Only");
    system->addPort(pcm, "Sample Port", FakeSequencerSystem::kDuplex, SND_SEQ_PORT_TYPE_SAMPLE);
    open();
    std::vector<std::string> sources, destinations;
    for (auto ref : service->sources()) sources.push_back(service->properties(ref)->name);
    for (auto ref : service->destinations()) destinations.push_back(service->properties(ref)->name);
    EXPECT_EQ(sources, std::vector<std::string>{"Group 1 (Keys)"});
    EXPECT_EQ(destinations, (std::vector<std::string>{"Group 1 (Keys)", "Synth"}));
}

// ---- A rename does not leave a subscription behind.

TEST_F(AlsaMIDIServiceFake, RenamingAConnectedSourceLeavesNoSubscriptionBehind) {
    keyboard = system->addSoftwarePort("Keyboard", "Keys");
    open();
    const MIDIEndpointRef before = refOf("Keys", true);
    ASSERT_EQ(service->connectSource(before, &context), 0);
    ASSERT_TRUE(system->isSubscribed(keyboard, ourInput()));
    system->renamePort(keyboard, "Keys (split)");
    ASSERT_TRUE(listener.waitFor([&] { return listener.wasRemoved(before); }));
    EXPECT_FALSE(system->isSubscribed(keyboard, ourInput()))
        << "the kernel still delivers from a source the client was told is gone";
    const MIDIEndpointRef after = refOf("Keys (split)", true);
    ASSERT_NE(after, 0u);
    EXPECT_TRUE(listener.waitFor([&] { return listener.wasAdded(after); }));
    // Connected again under its new name, it plays.
    ASSERT_EQ(service->connectSource(after, &context), 0);
    system->emit(keyboard, {0x90, 0x3C, 0x64});
    EXPECT_TRUE(listener.waitFor([&] { return !listener.packets.empty(); }));
}

// ---- Smaller ones.

TEST_F(AlsaMIDIServiceFake, InputIsSizedBeforeTheAnnounceSubscriptionStartsIt) {
    // A device arrives the moment the announce subscription is made.
    system->onSubscribe([this](Address sender, Address) {
        if (sender.client == SND_SEQ_CLIENT_SYSTEM) system->addSoftwarePort("Early", "Early");
    });
    open();
    EXPECT_EQ(fake->discardedByResize(), 0u) << "a resize threw away announcements";
}

TEST_F(AlsaMIDIServiceFake, ALastingInputErrorIsReportedOnceWithoutSpinning) {
    open();
    fake->failInput(-EIO, true);
    ASSERT_TRUE(listener.waitFor([&] { return listener.hasError(EIO); }));
    const int callsAtReport = fake->inputCalls();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(fake->inputCalls() - callsAtReport, 50) << "the receive thread spins on the error";
    EXPECT_EQ(listener.errorCount(), 1u);
    // Once the error clears, input flows again.
    keyboard = system->addSoftwarePort("Keyboard", "Keys");
    fake->failInput(0, false);
    ASSERT_EQ(service->connectSource(refOf("Keys", true), &context), 0);
    system->emit(keyboard, {0x90, 0x3C, 0x64});
    EXPECT_TRUE(listener.waitFor([&] { return !listener.packets.empty(); }));
}

TEST_F(AlsaMIDIServiceFake, APollErrorIsReportedWithoutSpinning) {
    open();
    const int callsBefore = fake->inputCalls();
    fake->breakPoll();
    ASSERT_TRUE(listener.waitFor([&] { return listener.hasError(EIO); }))
        << "an error on the sequencer's descriptor went unreported";
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(fake->inputCalls() - callsBefore, 50) << "the receive thread spins on the error";
}

TEST_F(AlsaMIDIServiceFake, StopReturnsWhileEventsKeepComing) {
    ASSERT_NO_FATAL_FAILURE(openWithKeyboardConnected());
    fake->flood(true, keyboard);
    ASSERT_TRUE(listener.waitFor([&] { return listener.packets.size() > 100; }));
    auto stopped = std::async(std::launch::async, [&] { service->stop(); });
    const bool returned = stopped.wait_for(kPatience) == std::future_status::ready;
    fake->flood(false);
    stopped.wait();
    EXPECT_TRUE(returned) << "stop() waited for the input to pause";
}

TEST_F(AlsaMIDIServiceFake, MIDIFlowsWhileAListingIsUnderWay) {
    ASSERT_NO_FATAL_FAILURE(openWithKeyboardConnected());
    fake->blockEnumeration(true);
    auto listing = std::async(std::launch::async, [&] { return service->sources(); });
    ASSERT_TRUE(fake->waitUntilEnumerating(kPatience));
    // A device arrives and a note follows: the receive thread needs the port table for the
    // first and the connections for the second.
    system->addSoftwarePort("Drum Pad", "Pads");
    system->emit(keyboard, {0x90, 0x3C, 0x64});
    const bool delivered = listener.waitFor([&] { return !listener.packets.empty(); });
    fake->blockEnumeration(false);
    EXPECT_EQ(listing.get().size(), 2u) << "a listing overtaken by a notice was not redone";
    EXPECT_TRUE(delivered) << "a listing held up the receive thread";
}

TEST_F(AlsaMIDIServiceFake, PortExitResetsTheEncoderOfItsAddress) {
    const Address app = system->addSoftwarePort("App", "App In");
    open();
    // The first half of a SysEx, then the port goes and another takes its address.
    ASSERT_EQ(service->send(refOf("App In", false), packetOf({0xF0, 0x41, 0x01, 0x02})), 0);
    system->removePort(app);
    ASSERT_TRUE(listener.waitFor([&] { return !listener.removed.empty(); }));
    ASSERT_EQ(system->addPort(app.client, "App In", FakeSequencerSystem::kDuplex,
                              FakeSequencerSystem::kApplicationType),
              app.port);
    ASSERT_TRUE(listener.waitFor([&] { return listener.added.size() >= 2; }));
    ASSERT_EQ(service->send(refOf("App In", false), packetOf({0x03, 0xF7, 0x90, 0x3C, 0x64})), 0);
    ASSERT_TRUE(waitForReceived(app, 3));
    EXPECT_EQ(system->received(app), (std::vector<uint8_t>{0x90, 0x3C, 0x64}))
        << "the old port's half SysEx went on on the new one";
}

TEST_F(AlsaMIDIServiceFake, PortExitDropsTheSourcesHalfJoinedSysEx) {
    ASSERT_NO_FATAL_FAILURE(openWithKeyboardConnected());
    system->emitSysExChunk(keyboard, {0xF0, 0x41, 0x01, 0x02});
    ASSERT_TRUE(fake->waitUntilDrained(kPatience));
    system->removePort(keyboard);
    ASSERT_TRUE(listener.waitFor([&] { return !listener.removed.empty(); }));
    ASSERT_EQ(system->addPort(keyboard.client, "Keys", FakeSequencerSystem::kDuplex,
                              FakeSequencerSystem::kApplicationType),
              keyboard.port);
    ASSERT_TRUE(listener.waitFor([&] { return listener.added.size() >= 2; }));
    ASSERT_EQ(service->connectSource(refOf("Keys", true), &context), 0);
    system->emitSysExChunk(keyboard, {0x03, 0xF7});
    system->emit(keyboard, {0x90, 0x3C, 0x64});
    ASSERT_TRUE(listener.waitFor([&] { return !listener.packets.empty(); }));
    std::lock_guard guard(listener.lock);
    for (auto& packet : listener.packets)
        EXPECT_FALSE(contains(packet, {0x41, 0x01, 0x02})) << "the old port's SysEx went on";
}

// ---- Input as before: SysEx chunks are joined, contexts kept apart, announcements told.

TEST_F(AlsaMIDIServiceFake, SysExChunksOfOneSourceArriveAsOneMessage) {
    ASSERT_NO_FATAL_FAILURE(openWithKeyboardConnected());
    const auto dump = sysExOf(1000);  // the fake's coder cuts it into 256-byte chunks
    system->emit(keyboard, dump);
    ASSERT_TRUE(listener.waitFor([&] { return !listener.packets.empty(); }));
    std::lock_guard guard(listener.lock);
    EXPECT_EQ(listener.packets.front(), dump);
    EXPECT_EQ(listener.contexts.front(), &context);
}

TEST_F(AlsaMIDIServiceFake, ANewPortIsAnnouncedOnceAndItsExitOnce) {
    open();
    keyboard = system->addSoftwarePort("Keyboard", "Keys");
    ASSERT_TRUE(listener.waitFor([&] { return listener.added.size() >= 2; }));
    const MIDIEndpointRef source = refOf("Keys", true);
    EXPECT_TRUE(listener.wasAdded(source));
    system->removePort(keyboard);
    ASSERT_TRUE(listener.waitFor([&] { return listener.removed.size() >= 2; }));
    std::lock_guard guard(listener.lock);
    EXPECT_EQ(listener.added.size(), 2u);  // its source and its destination
    EXPECT_EQ(listener.removed.size(), 2u);
}

}  // namespace
