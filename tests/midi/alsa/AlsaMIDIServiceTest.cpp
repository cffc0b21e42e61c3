#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "midi/alsa/AlsaMIDIService.h"

using namespace lumetta::midi;

namespace {

bool haveSequencer() {
    return ::access("/dev/snd/seq", R_OK | W_OK) == 0;
}

class Listener final : public MIDIServiceListener {
  public:
    void midiPacket(const MIDIPacket& packet, void* context) override {
        std::lock_guard guard(lock);
        bytes.insert(bytes.end(), packet.data, packet.data + packet.length);
        contexts.push_back(context);
    }
    void midiObjectAdded(MIDIObjectKind, MIDIEndpointRef) override { ++added; }
    void midiObjectRemoved(MIDIObjectKind, MIDIEndpointRef) override { ++removed; }
    void midiIOError(int32_t) override { ++errors; }

    std::mutex lock;
    std::vector<uint8_t> bytes;
    std::vector<void*> contexts;
    std::atomic<int> added{0}, removed{0}, errors{0};
};

}  // namespace

#define REQUIRE_SEQUENCER()                                                            \
    if (!haveSequencer())                                                              \
    GTEST_SKIP() << "skipped: /dev/snd/seq is not available on this machine (no ALSA " \
                    "sequencer); the ALSA MIDI service is only tested where it exists"

TEST(AlsaMIDIServiceTest, OpensAClientAndStopsItsReceiveThread) {
    REQUIRE_SEQUENCER();
    auto opened = openAlsaMIDIService("com.velmar.lumetta.midi#test");
    ASSERT_TRUE(opened.hasValue()) << opened.error().message;
    auto service = std::move(*opened);
    EXPECT_STREQ(service->kind(), "alsa");
    Listener listener;
    service->start(listener);
    service->stop();
}

TEST(AlsaMIDIServiceTest, SecondClientSeesNoPortsOfTheFirstAndIdsAreStable) {
    REQUIRE_SEQUENCER();
    auto openedA = openAlsaMIDIService("com.velmar.lumetta.midi#a");
    ASSERT_TRUE(openedA.hasValue()) << openedA.error().message;
    auto openedB = openAlsaMIDIService("com.velmar.lumetta.midi#b");
    ASSERT_TRUE(openedB.hasValue()) << openedB.error().message;
    auto& a = *openedA;
    auto& b = *openedB;
    // Lumetta's own ports are not subscribable, so neither client lists the other's.
    auto sourcesA = a->sources();
    auto sourcesB = b->sources();
    for (auto ref : sourcesA) {
        auto p = a->properties(ref);
        ASSERT_TRUE(p);
        EXPECT_EQ(p->device->name.find("com.velmar.lumetta.midi#"), std::string::npos);
        EXPECT_EQ(p->offline, 0);
    }
    // The same ports get the same IDs in another client.
    EXPECT_EQ(sourcesA, sourcesB);
}

TEST(AlsaMIDIServiceTest, MidiThroughEchoesWhatIsSentWhenPresent) {
    REQUIRE_SEQUENCER();
    auto opened = openAlsaMIDIService("com.velmar.lumetta.midi#through");
    ASSERT_TRUE(opened.hasValue()) << opened.error().message;
    auto service = std::move(*opened);
    Listener listener;
    service->start(listener);
    MIDIEndpointRef source = 0, destination = 0;
    for (auto ref : service->sources())
        if (service->properties(ref)->device->name == "Midi Through") source = ref;
    for (auto ref : service->destinations())
        if (service->properties(ref)->device->name == "Midi Through") destination = ref;
    if (source == 0 || destination == 0) GTEST_SKIP() << "skipped: no Midi Through port";
    int context = 0;
    ASSERT_EQ(service->connectSource(source, &context), 0);
    std::vector<uint8_t> sysex{0xF0};
    for (int i = 0; i < 600; ++i) sysex.push_back(static_cast<uint8_t>(i & 0x7F));
    sysex.push_back(0xF7);
    MIDIPacketList note;
    const uint8_t on[] = {0x90, 0x3C, 0x64};
    note.add(0, on, 3);
    ASSERT_EQ(service->send(destination, note), 0);
    for (size_t at = 0; at < sysex.size(); at += 512) {
        MIDIPacketList piece;
        piece.add(0, sysex.data() + at, std::min<size_t>(512, sysex.size() - at));
        ASSERT_EQ(service->send(destination, piece), 0);
    }
    std::vector<uint8_t> expected{0x90, 0x3C, 0x64};
    expected.insert(expected.end(), sysex.begin(), sysex.end());
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);  // hang guard
    while (std::chrono::steady_clock::now() < end) {
        {
            std::lock_guard guard(listener.lock);
            if (listener.bytes.size() >= expected.size()) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    service->stop();
    EXPECT_EQ(listener.bytes, expected);
    for (void* c : listener.contexts) EXPECT_EQ(c, &context);
}
