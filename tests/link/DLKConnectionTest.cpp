// The device connection against the simulator on 127.0.0.1.

#include <gtest/gtest.h>

#include "link/DLKConnection.h"
#include "link/DLKMIDIService.h"
#include "link/DevsimProcess.h"

using namespace lumetta::link;
using namespace lumetta::test;

namespace {

using Bytes = std::vector<uint8_t>;

struct Message {
    Bytes bytes;
    uint32_t timeStamp;
    int32_t cable;
};

class Recorder : public DLKConnectionDelegate, public DLKMIDIInputDelegate {
  public:
    void connectionFailed(const nlohmann::json& d) override { log("failed", d); }
    void connectionDidEstablished(const nlohmann::json& d) override { log("established", d); }
    void connectionDidClosed(const nlohmann::json& d) override { log("closed", d); }
    void connectionErrorDidOccur(const nlohmann::json& d) override { log("error", d); }
    void midiInputMessage(const uint8_t* b, int32_t size, uint32_t ts, int32_t cable) override {
        messages.push_back({Bytes(b, b + size), ts, cable});
    }
    void log(const std::string& what, const nlohmann::json& d) {
        events.push_back(what);
        devices.push_back(d);
    }
    size_t count(const std::string& what) const {
        return size_t(std::count(events.begin(), events.end(), what));
    }
    std::vector<std::string> events;
    std::vector<nlohmann::json> devices;
    std::vector<Message> messages;
};

class DLKConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        connection.setDelegate(&recorder);
        connection.midiService().setDelegate(&recorder);
    }
    // Connects to `sim` and waits for both ends to see it.
    void connectTo(DevsimProcess& sim) {
        ASSERT_TRUE(sim.started());
        size_t before = recorder.count("established");
        connection.connect(sim.dictionary());
        ASSERT_TRUE(pumpUntil([&] { return recorder.count("established") > before; }))
            << "events: " << ::testing::PrintToString(recorder.events);
        ASSERT_TRUE(sim.waitFor("control-connected"));
    }
    Recorder recorder;
    DLKConnection connection;
};

}  // namespace

TEST_F(DLKConnectionTest, ConnectReportsTheDeviceAndDisconnectIsSilent) {
    DevsimProcess sim({"--no-discovery"});
    connectTo(sim);
    EXPECT_EQ(recorder.devices.back(), sim.dictionary());
    ASSERT_TRUE(connection.device());
    EXPECT_EQ(*connection.device(), sim.dictionary());
    ASSERT_TRUE(pumpUntil([&] { return connection.connectStartTimeStamp() != 0; }))
        << "the device's connect time stamp (frame 1/0) is stored";
    connection.disconnect();
    ASSERT_TRUE(sim.waitFor("control-closed"));
    pumpFor(200ms);
    EXPECT_EQ(recorder.events, std::vector<std::string>{"established"});
    EXPECT_FALSE(connection.device());
    EXPECT_EQ(connection.connectStartTimeStamp(), 0u);
}

TEST_F(DLKConnectionTest, SomethingOtherThanADictionaryFailsAtOnceWithoutDevice) {
    connection.connect(nlohmann::json::array({1, 2}));
    ASSERT_EQ(recorder.events, std::vector<std::string>{"failed"});
    EXPECT_TRUE(recorder.devices[0].is_null());
    EXPECT_FALSE(connection.device());
}

TEST_F(DLKConnectionTest, DictionaryWithoutAUsablePortEndsInAnError) {
    nlohmann::json device = {{"DLKDeviceAddressKey", "127.0.0.1"}, {"DLKDevicePortNoKey", 0}};
    connection.connect(device);
    ASSERT_TRUE(pumpUntil([&] { return !recorder.events.empty(); }));
    EXPECT_EQ(recorder.events, std::vector<std::string>{"error"});
    EXPECT_EQ(recorder.devices[0], device);
}

TEST_F(DLKConnectionTest, MidiGoesOutAsAFrameAndComesBackEchoed) {
    DevsimProcess sim({"--no-discovery"});
    connectTo(sim);
    const uint8_t note[] = {0x90, 0x3C, 0x64};
    connection.midiService().send(note, 3);
    ASSERT_EQ(sim.waitFor("frame 2 "), "frame 2 0 0000000009903C64");
    ASSERT_TRUE(pumpUntil([&] { return !recorder.messages.empty(); }));
    EXPECT_EQ(recorder.messages[0].bytes, (Bytes{0x90, 0x3C, 0x64}));
    EXPECT_EQ(recorder.messages[0].cable, 0);
    EXPECT_GT(recorder.messages[0].timeStamp, 0u) << "the echo carries the device's clock";

    // A SysEx of 500 bytes needs two frames each way and arrives whole.
    Bytes sysex = {0xF0};
    for (int i = 0; i < 498; ++i) sysex.push_back(uint8_t(i & 0x7F));
    sysex.push_back(0xF7);
    connection.midiService().send(sysex.data(), int32_t(sysex.size()), 2);
    ASSERT_TRUE(pumpUntil([&] { return recorder.messages.size() == 2; }));
    EXPECT_EQ(recorder.messages[1].bytes, sysex);
    EXPECT_EQ(recorder.messages[1].cable, 2);
    EXPECT_TRUE(pumpUntil([&] { return sim.count("frame 2 ") == 3; }))
        << "the device saw " << sim.count("frame 2 ") << " MIDI frames";
}

TEST_F(DLKConnectionTest, EchoOnAnotherCableKeepsTheMessage) {
    DevsimProcess sim({"--no-discovery", "--echo-cable", "5"});
    connectTo(sim);
    const uint8_t pc[] = {0xC1, 0x05};
    connection.midiService().send(pc, 2, 1);
    ASSERT_EQ(sim.waitFor("frame 2 "), "frame 2 0 000000001CC10500");
    ASSERT_TRUE(pumpUntil([&] { return !recorder.messages.empty(); }));
    EXPECT_EQ(recorder.messages[0].bytes, (Bytes{0xC1, 0x05}));
    EXPECT_EQ(recorder.messages[0].cable, 5);
}

TEST_F(DLKConnectionTest, StreamingStampsOutgoingFramesAndDelayIsSentInMilliseconds) {
    DevsimProcess sim({"--no-discovery"});
    connectTo(sim);
    connection.midiService().setStreaming(true);
    const uint8_t clock[] = {0xF8};
    connection.midiService().send(clock, 1);
    auto line = sim.waitFor("frame 2 ");
    ASSERT_TRUE(line);
    EXPECT_NE(line->substr(10, 8), "00000000");
    connection.midiService().setStreamingDelayTime(1.5);
    EXPECT_EQ(sim.waitFor("frame 7 "), "frame 7 0 000005DC");
}

TEST_F(DLKConnectionTest, KeepAliveTimeoutGoesToTheDeviceAndTheDevicesValueWins) {
    DevsimProcess sim({"--no-discovery", "--keepalive-timeout", "7"});
    connectTo(sim);
    ASSERT_TRUE(pumpUntil([&] { return connection.keepAliveTimeout() == 7; }));
    connection.setKeepAliveTimeout(5);
    EXPECT_EQ(connection.keepAliveTimeout(), 5);
    EXPECT_EQ(sim.waitFor("frame 0 1"), "frame 0 1 05");
    // The device answers with the value it now uses.
    pumpFor(200ms);
    EXPECT_EQ(connection.keepAliveTimeout(), 5);
}

TEST_F(DLKConnectionTest, ZeroKeepAliveStopsTheHostsKeepAlives) {
    DevsimProcess sim({"--no-discovery"});
    connectTo(sim);
    ASSERT_TRUE(sim.waitFor("keepalive", 0, 5s)) << "keep-alives flow while the time-out is 3";
    connection.setKeepAliveTimeout(0);
    EXPECT_EQ(sim.waitFor("frame 0 1"), "frame 0 1 00");
    pumpFor(300ms);
    const size_t before = sim.count("keepalive");
    pumpFor(2500ms);
    EXPECT_EQ(sim.count("keepalive"), before);
    EXPECT_EQ(recorder.count("closed") + recorder.count("error"), 0u);
}

TEST_F(DLKConnectionTest, DeviceClosingIsReportedAsClosed) {
    DevsimProcess sim({"--no-discovery"});
    connectTo(sim);
    sim.terminate();
    ASSERT_TRUE(pumpUntil([&] { return recorder.count("closed") == 1; }));
    EXPECT_EQ(recorder.count("error"), 0u);
    EXPECT_TRUE(connection.device()) << "the device stays until the next connect or disconnect";
}

TEST_F(DLKConnectionTest, SilentDeviceIsClosedAfterTheKeepAliveTimeout) {
    DevsimProcess sim({"--no-discovery", "--fault", "silent", "--fault-after", "0"});
    connection.client().setTickInterval(250ms);
    connectTo(sim);
    ASSERT_TRUE(pumpUntil([&] { return recorder.count("closed") == 1; }));
    EXPECT_EQ(recorder.count("error"), 0u);
}

// Each misbehaving device ends its connection with an error, the main loop keeps turning, and
// the same connection object connects again afterwards.
class DLKConnectionFaultTest : public DLKConnectionTest,
                               public ::testing::WithParamInterface<const char*> {};

TEST_P(DLKConnectionFaultTest, EndsWithAnErrorAndTheLinkRecovers) {
    connection.client().setTickInterval(250ms);
    {
        DevsimProcess bad({"--no-discovery", "--fault", GetParam(), "--fault-after", "100"});
        connectTo(bad);
        bool ticking = false;
        guint tick = g_timeout_add(
            50,
            [](gpointer flag) -> gboolean {
                *static_cast<bool*>(flag) = true;
                return G_SOURCE_CONTINUE;
            },
            &ticking);
        ASSERT_TRUE(pumpUntil([&] { return recorder.count("error") == 1; }))
            << ::testing::PrintToString(recorder.events);
        g_source_remove(tick);
        EXPECT_TRUE(ticking) << "the main loop went on serving other sources";
        EXPECT_EQ(recorder.count("closed"), 0u);
        EXPECT_EQ(connection.client().status(), DLKNetClient::closed);
        EXPECT_EQ(recorder.devices.back(), bad.dictionary());
    }
    DevsimProcess good({"--no-discovery"});
    connectTo(good);
    const uint8_t note[] = {0x80, 0x3C, 0x00};
    connection.midiService().send(note, 3);
    ASSERT_TRUE(pumpUntil([&] { return !recorder.messages.empty(); }));
    EXPECT_EQ(recorder.messages.back().bytes, (Bytes{0x80, 0x3C, 0x00}));
}

INSTANTIATE_TEST_SUITE_P(Faults, DLKConnectionFaultTest,
                         ::testing::Values("garbage", "stall", "midframe-close", "absurd-length",
                                           "bad-status"));
