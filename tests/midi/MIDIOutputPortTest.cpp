#include <gtest/gtest.h>

#include "midi/MIDIClientHarness.h"

using namespace lumetta::midi;
using namespace lumetta::midi::test;

namespace {
class MIDIOutputPortTest : public MIDIClientHarness {};
}  // namespace

TEST_F(MIDIOutputPortTest, SendOfNothingSendsNothing) {
    Sink sink;
    system->addDestination(spec("Synth", {}, {}, 200), sink.receiver());
    client->outputPort()->connectAllEndpoints();
    const Bytes note{0x90, 0x3C, 0x64};
    client->outputPort()->send(nullptr, 3);
    client->outputPort()->send(note.data(), 0);
    client->outputPort()->send(note.data(), -1);
    EXPECT_TRUE(sink.packets.empty());
}

TEST_F(MIDIOutputPortTest, ConnectingADestinationTwiceSendsOnce) {
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

TEST_F(MIDIOutputPortTest, SendReachesEveryDestinationInConnectionOrder) {
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

// A send of up to 512 bytes is one packet; a longer one goes out as consecutive packets of at
// most 512 bytes that join to what was sent.
TEST_F(MIDIOutputPortTest, SendsArePacketsOfAtMost512Bytes) {
    Sink sink;
    system->addDestination(spec("Synth", {}, {}, 200), sink.receiver());
    client->outputPort()->connectAllEndpoints();
    const std::pair<size_t, std::vector<size_t>> cases[] = {{512, {512}}, {1300, {512, 512, 276}}};
    for (const auto& [size, pieces] : cases) {
        sink.packets.clear();
        Bytes data(size);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i % 128);
        client->outputPort()->send(data.data(), static_cast<int32_t>(data.size()));
        std::vector<size_t> sizes;
        Bytes joined;
        for (auto& p : sink.packets) {
            sizes.push_back(p.size());
            joined.insert(joined.end(), p.begin(), p.end());
        }
        EXPECT_EQ(sizes, pieces) << size;
        EXPECT_EQ(joined, data) << size;
    }
}

TEST_F(MIDIOutputPortTest, OfflineDestinationIsRefusedAndReported) {
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

TEST_F(MIDIOutputPortTest, UnknownOutputDictionaryIsNotReported) {
    client->outputPort()->connectEndpoint(json{{"MIDIEndpointUIDKey", 12345}});
    EXPECT_TRUE(recorder.outputFailed.empty());
    EXPECT_TRUE(client->outputPort()->connected().empty());
}

TEST_F(MIDIOutputPortTest, RemovingAConnectedDestinationDropsItsRecord) {
    Sink sink;
    auto dst = system->addDestination(spec("Synth", {}, {}, 200), sink.receiver());
    auto keep = system->addDestination(spec("Other", {}, {}, 201), nullptr);
    client->outputPort()->connectAllEndpoints();
    ASSERT_EQ(client->outputPort()->connected().size(), 2u);
    system->remove(dst);
    ASSERT_TRUE(eventually(main, [&] { return client->outputPort()->connected().size() == 1; }));
    EXPECT_EQ(client->outputPort()->connected()[0], keep);
}
