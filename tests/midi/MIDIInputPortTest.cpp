#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "midi/MIDIClientHarness.h"

using namespace lumetta::midi;
using namespace lumetta::midi::test;

namespace {
class MIDIInputPortTest : public MIDIClientHarness {};
}  // namespace

TEST_F(MIDIInputPortTest, ConnectedSourceDeliversParsedMessagesOnTheReceiveThread) {
    auto src = system->addSource(spec("Keys", {}, {}, 100));
    client->inputPort()->connectEndpoint(json{{"MIDIEndpointUIDKey", 100}});
    EXPECT_TRUE(recorder.inputFailed.empty());
    const Bytes note{0x90, 0x3C, 0x64};
    system->emit(src, note.data(), note.size());
    ASSERT_TRUE(eventually(main, [&] { return recorder.messageCount() == 1; }));
    EXPECT_EQ(recorder.messages[0].first, note);
}

TEST_F(MIDIInputPortTest, UnknownOrWrongKindInputDictionaryReportsConnectFailedWithThatDictionary) {
    system->addDestination(spec("Synth", {}, {}, 200), nullptr);
    json unknown{{"MIDIEndpointUIDKey", 999}, {"extra", "kept"}};
    client->inputPort()->connectEndpoint(unknown);
    client->inputPort()->connectEndpoint(json{{"MIDIEndpointUIDKey", 200}});
    ASSERT_EQ(recorder.inputFailed.size(), 2u);
    EXPECT_EQ(recorder.inputFailed[0], unknown);
}

TEST_F(MIDIInputPortTest, ReconnectingASourceDropsAnUnfinishedSysEx) {
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

TEST_F(MIDIInputPortTest, ReconnectingWhileTrafficFlowsKeepsMessagesWhole) {
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

TEST_F(MIDIInputPortTest, DisconnectedSourceDeliversNothing) {
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
