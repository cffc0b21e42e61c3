#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "midi/MIDIClientHarness.h"

using namespace lumetta::midi;
using namespace lumetta::midi::test;

namespace {
class MIDIClientTest : public MIDIClientHarness {};
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
