// The link's audio streams against the simulator: a tone source feeds the output, a byte sink
// takes the input, and the bytes are checked on the other side.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Tone.h"
#include "link/DLKAudioStreams.h"
#include "link/DLKConnection.h"
#include "link/DevsimProcess.h"

using namespace lumetta::link;
using namespace lumetta::test;
namespace audio = lumetta::audio;

namespace {

using Bytes = std::vector<uint8_t>;

uint8_t patternByte(uint64_t i) {
    return uint8_t((i * 2654435761u) >> 13);
}

// Gives `total` bytes of a known pattern, in pieces of at most 8,192, then 0.
class ToneSource : public audio::AudioOutputStreamDelegate {
  public:
    explicit ToneSource(uint64_t total) : total_(total) {}
    int64_t outputStream(audio::AudioOutputStream&, uint8_t* buffer, int64_t maxLength) override {
        ++pulls;
        maxPull = std::max(maxPull, maxLength);
        int64_t n = std::min<int64_t>(maxLength, int64_t(total_ - given));
        for (int64_t i = 0; i < n; ++i) buffer[i] = patternByte(given + uint64_t(i));
        given += uint64_t(n);
        return n;
    }
    uint64_t given = 0;
    int pulls = 0;
    int64_t maxPull = 0;

  private:
    uint64_t total_;
};

class ByteSink : public audio::AudioInputStreamDelegate {
  public:
    void inputStream(audio::AudioInputStream&, const uint8_t* b, int64_t n) override {
        if (n % 4 != 0) ++partialFrames;
        bytes.insert(bytes.end(), b, b + n);
    }
    void inputStreamDidClosed(audio::AudioInputStream&) override { ++closed; }
    Bytes bytes;
    int partialFrames = 0;
    int closed = 0;
};

class Quiet : public DLKConnectionDelegate {};

Bytes readWavData(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    Bytes all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (all.size() < 44) return {};
    return Bytes(all.begin() + 44, all.end());
}

class DLKAudioStreamsTest : public ::testing::Test {
  protected:
    void connectTo(DevsimProcess& sim) {
        ASSERT_TRUE(sim.started());
        connection.connect(sim.dictionary());
        ASSERT_TRUE(sim.waitFor("control-connected"));
        ASSERT_TRUE(
            pumpUntil([&] { return connection.client().status() == DLKNetClient::connected; }));
    }
    // Starts the input stream into `sink`.
    DLKAudioInputStream& startInput(ByteSink& sink) {
        auto& in = connection.inputStream();
        in.setDelegate(&sink);
        in.start("");
        return in;
    }
    DLKConnection connection;
    std::filesystem::path wav =
        std::filesystem::temp_directory_path() / ("devsim-" + std::to_string(::getpid()) + ".wav");
    void TearDown() override { std::filesystem::remove(wav); }
};

}  // namespace

TEST_F(DLKAudioStreamsTest, BothStreamsDescribe16BitStereoAt44100) {
    audio::AudioStreamDescription out, in;
    connection.outputStream().ASBD(out);
    connection.inputStream().ASBD(in);
    for (auto& d : {out, in}) {
        EXPECT_EQ(d.sampleRate, 44100.0);
        EXPECT_EQ(d.formatID, audio::kAudioFormatLinearPCM);
        EXPECT_EQ(d.formatFlags, 12u);
        EXPECT_EQ(d.bytesPerPacket, 4u);
        EXPECT_EQ(d.framesPerPacket, 1u);
        EXPECT_EQ(d.bytesPerFrame, 4u);
        EXPECT_EQ(d.channelsPerFrame, 2u);
        EXPECT_EQ(d.bitsPerChannel, 16u);
    }
    EXPECT_EQ(connection.outputStream().numberOfChannels(), 2u);
    EXPECT_EQ(connection.outputStream().speed(), 1.0f);
    connection.outputStream().setSpeed(2.0f);
    EXPECT_EQ(connection.outputStream().speed(), 1.0f);
    EXPECT_EQ(connection.outputStream().peakPowerForChannel(2), 0.0f);
}

TEST_F(DLKAudioStreamsTest, OutputBytesReachTheDeviceIdenticalAndTheConnectionEndsWithThem) {
    DevsimProcess sim({"--no-discovery", "--output-wav", wav.string()});
    connectTo(sim);
    const uint64_t total = 3 * 1000 * 1000 + 12;
    ToneSource source(total);
    auto& out = connection.outputStream();
    out.setDelegate(&source);
    EXPECT_EQ(out.status(), 0);
    out.start("");
    auto start = sim.waitFor("frame 4 1");
    ASSERT_TRUE(start);
    char expected[32];
    std::snprintf(expected, sizeof expected, "frame 4 1 %04X", connection.outputStream().portNo());
    EXPECT_EQ(*start, expected);
    auto closed = sim.waitFor("output-closed", 0, 30s);
    ASSERT_TRUE(closed);
    EXPECT_EQ(*closed, "output-closed " + std::to_string(total) + " 0");
    EXPECT_EQ(source.given, total);
    EXPECT_EQ(source.maxPull, 8192);
    pumpUntil([&] { return !connection.outputStream().connected(); });
    EXPECT_EQ(out.status(), 0) << "no audio connection, whatever the status record says";
    Bytes data = readWavData(wav);
    ASSERT_EQ(data.size(), total);
    for (uint64_t i = 0; i < total; ++i)
        ASSERT_EQ(data[i], patternByte(i)) << "first difference at byte " << i;
}

TEST_F(DLKAudioStreamsTest, OutputStopClosesTheAudioConnection) {
    DevsimProcess sim(
        {"--no-discovery", "--output-wav", wav.string(), "--output-pace", "realtime"});
    connectTo(sim);
    ToneSource source(uint64_t(1) << 40);
    auto& out = connection.outputStream();
    out.setDelegate(&source);
    out.start("");
    ASSERT_TRUE(sim.waitFor("output-connected"));
    ASSERT_TRUE(pumpUntil([&] { return out.status() == 1; })) << "the device reports playing";
    pumpFor(300ms);
    out.pause();
    EXPECT_EQ(sim.waitFor("frame 4 2"), "frame 4 2 ");
    ASSERT_TRUE(pumpUntil([&] { return out.status() == 2; }));
    out.stop();
    EXPECT_EQ(sim.waitFor("frame 4 3"), "frame 4 3 ");
    EXPECT_FALSE(out.connected());
    ASSERT_TRUE(sim.waitFor("output-closed"));
    EXPECT_GT(out.currentTime(), 0.0) << "the device's position arrived in the status record";
}

TEST_F(DLKAudioStreamsTest, InputDeliversTheDevicesToneInWholeFrames) {
    DevsimProcess sim({"--no-discovery", "--input-pace", "fast", "--tone", "441"});
    connectTo(sim);
    ByteSink sink;
    auto& in = startInput(sink);
    ASSERT_TRUE(sim.waitFor("input-connected"));
    ASSERT_TRUE(pumpUntil([&] { return sink.bytes.size() >= 2000000; }, 30s));
    in.stop(false);
    EXPECT_EQ(sim.waitFor("frame 4 6"), "frame 4 6 ");
    ASSERT_TRUE(pumpUntil([&] { return sink.closed == 1; })) << "the device ended the stream";
    auto closed = sim.waitFor("input-closed");
    ASSERT_TRUE(closed);
    // Only whole stereo frames are handed over; a trailing part of one is not.
    const uint64_t sent = std::stoull(closed->substr(13));
    EXPECT_EQ(sink.bytes.size(), sent & ~uint64_t{3});
    EXPECT_EQ(sink.partialFrames, 0);
    const uint32_t period = lumetta::devsim::tonePeriod(441);
    for (size_t i = 0; i < sink.bytes.size(); ++i)
        ASSERT_EQ(sink.bytes[i], lumetta::devsim::toneByte(i, period)) << "at byte " << i;
}

TEST_F(DLKAudioStreamsTest, InputStopAtOnceClosesWithoutTellingTheDelegate) {
    DevsimProcess sim({"--no-discovery"});
    connectTo(sim);
    ByteSink sink;
    auto& in = startInput(sink);
    ASSERT_TRUE(pumpUntil([&] { return sink.bytes.size() > 8192; }));
    EXPECT_TRUE(pumpUntil([&] { return in.status() == 1; }));
    in.stop(true);
    EXPECT_FALSE(in.connected());
    EXPECT_EQ(in.status(), 0);
    ASSERT_TRUE(sim.waitFor("input-closed"));
    pumpFor(100ms);
    EXPECT_EQ(sink.closed, 0);
}

TEST_F(DLKAudioStreamsTest, VolumeAndInputModeFramesAndTheDevicesAnswer) {
    DevsimProcess sim({"--no-discovery", "--status-interval", "20"});
    connectTo(sim);
    auto& out = connection.outputStream();
    auto& in = connection.inputStream();
    out.setVolume(1.5f);
    out.setVolume(-0.1f);
    out.setVolume(0.5f);
    EXPECT_EQ(sim.waitFor("frame 4 9"), "frame 4 9 3F");
    EXPECT_EQ(sim.count("frame 4 9"), 1u) << "out-of-range volumes send nothing";
    in.setVolume(1.0f);
    EXPECT_EQ(sim.waitFor("frame 4 10"), "frame 4 10 7F");
    in.inputMode(258);
    EXPECT_EQ(sim.waitFor("frame 4 11"), "frame 4 11 02");
    ASSERT_TRUE(pumpUntil([&] { return out.volume() == 63 / 127.0f && in.volume() == 1.0f; }))
        << "the status record brings the device's volumes back";
}

TEST_F(DLKAudioStreamsTest, MetersHoldTheirPeakUntilReadAndResetOnDisconnect) {
    DevsimProcess sim({"--no-discovery", "--status-interval", "10"});
    connectTo(sim);
    ByteSink sink;
    auto& in = startInput(sink);
    ASSERT_TRUE(sim.waitFor("input-connected"));
    // The simulator's input meters sweep from 0 dB down; a held peak is the top of the sweep.
    ASSERT_TRUE(pumpUntil([&] { return connection.audioStatus().input.peakPowerL > -120; }));
    pumpFor(500ms);
    const float held = in.peakPowerForChannel(0);
    const float current = connection.audioStatus().input.peakPowerL;
    EXPECT_GE(held, current);
    EXPECT_GT(held, -40.0f);
    // No frame arrives between these reads: the hold was replaced by the current peak.
    EXPECT_EQ(in.peakPowerForChannel(0), current);
    connection.disconnect();
    EXPECT_EQ(in.peakPowerForChannel(0), -120.0f);
    EXPECT_EQ(in.peakPowerForChannel(1), -120.0f);
    EXPECT_EQ(connection.outputStream().peakPowerForChannel(0), -120.0f);
    EXPECT_EQ(connection.outputStream().peakPowerForChannel(1), -120.0f);
}
