#include <gtest/gtest.h>

#include <cmath>

#include "audio/AudioPlayer.h"
#include "audio/AudioTestSupport.h"
#include "audio/StreamDoubles.h"
#include "audio/ffmpeg/FfmpegAudioFiles.h"

using namespace lumetta;
using audio::AudioPlayer;

namespace {

struct Notices final : audio::AudioPlayerDelegate {
    std::vector<std::string> log;
    void audioPlayerDidEndSong(const std::string& p) override { log.push_back("eof " + p); }
    void audioPlayerDidFinishPlaying(const std::string& p) override { log.push_back("stop " + p); }
    void audioPlayerErrorDidOccur(const std::string& p) override { log.push_back("error " + p); }
};

// A reader that fails on its second read.
class FailingReader final : public audio::AudioFileReader {
  public:
    audio::AudioStreamDescription fileFormat() const override {
        auto d = audio::clientStreamDescription();
        return d;
    }
    uint64_t totalFrames() const override { return 44100; }
    int64_t read(uint8_t* buffer, int64_t frames) override {
        if (++reads > 1) return -1;
        std::fill(buffer, buffer + frames * 4, uint8_t{1});
        return frames;
    }
    bool seek(uint64_t) override { return true; }
    int reads = 0;
};

class FailingFiles final : public audio::AudioFileService {
  public:
    std::unique_ptr<audio::AudioFileReader> openReader(
        const std::string&, const audio::AudioStreamDescription&) override {
        return std::make_unique<FailingReader>();
    }
    std::unique_ptr<audio::AudioFileWriter> createWriter(
        const std::string&, const audio::AudioFileFormat&,
        const audio::AudioStreamDescription&) override {
        return nullptr;
    }
};

class AudioPlayerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        player.setDelegate(&notices);
        player.setOutput(&output);
        // A stereo ramp: the left sample of frame f is f modulo 30000, so positions show.
        rampPath = dir.file("ramp.wav");
        test::writeWav16(rampPath, 44100, 2, 44100 * 40, [](int64_t f, int c) {
            return static_cast<int16_t>(c == 0 ? f % 30000 : -(f % 30000));
        });
    }

    test::TempDir dir;
    std::string rampPath;
    audio::FfmpegAudioFiles files;
    std::vector<std::function<void()>> delayed;
    // The output and the delegate outlive the player, which talks to them while it goes.
    test::FakeOutputStream output;
    Notices notices;
    AudioPlayer player{files, [this](std::function<void()> t) { delayed.push_back(std::move(t)); }};
};

}  // namespace

TEST_F(AudioPlayerTest, PullsDecodedFramesInTheOutputsFormat) {
    ASSERT_TRUE(player.open(rampPath));
    auto samples = output.pull();
    ASSERT_EQ(samples.size(), 4096u);
    EXPECT_EQ(samples[0], 0);
    EXPECT_EQ(samples[2 * 100], 100);
    EXPECT_EQ(samples[2 * 100 + 1], -100);
    EXPECT_DOUBLE_EQ(player.totalTime(), 40.0);
}

TEST_F(AudioPlayerTest, EndOfFileStopsThenReportsTheEndAndRewinds) {
    std::string shortPath = dir.file("short.wav");
    test::writeWav16(shortPath, 44100, 2, 3000,
                     [](int64_t f, int) { return static_cast<int16_t>(f + 1); });
    ASSERT_TRUE(player.open(shortPath));
    player.play();
    EXPECT_EQ(output.pull().size(), 4096u);
    EXPECT_EQ(output.pull().size(), (3000u - 2048u) * 2);
    EXPECT_TRUE(output.pull().empty());
    ASSERT_EQ(notices.log.size(), 2u);
    EXPECT_EQ(notices.log[0], "stop " + shortPath);
    EXPECT_EQ(notices.log[1], "eof " + shortPath);
    EXPECT_EQ(output.state, 0);
    auto again = output.pull();
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(again[0], 1);  // back at frame 0
}

TEST_F(AudioPlayerTest, ReadErrorStopsThenReportsTheError) {
    FailingFiles failing;
    Notices n;
    AudioPlayer p(failing, nullptr);
    p.setDelegate(&n);
    p.setOutput(&output);
    ASSERT_TRUE(p.open("/any"));
    EXPECT_EQ(output.pull().size(), 4096u);
    EXPECT_TRUE(output.pull().empty());
    ASSERT_EQ(n.log.size(), 2u);
    EXPECT_EQ(n.log[0], "stop /any");
    EXPECT_EQ(n.log[1], "error /any");
}

TEST_F(AudioPlayerTest, StopWithoutAFileStillReportsTheStop) {
    player.stop();
    ASSERT_EQ(notices.log.size(), 1u);
    EXPECT_EQ(notices.log[0], "stop ");
}

TEST_F(AudioPlayerTest, LocateSeeksTheFilesOwnFramesAndNeverStarts) {
    std::string path48 = dir.file("ramp48.wav");
    test::writeWav16(path48, 48000, 2, 48000 * 40,
                     [](int64_t f, int) { return static_cast<int16_t>(f / 48); });  // ms counter
    ASSERT_TRUE(player.open(path48));
    player.play();
    player.locate(30.0);
    EXPECT_EQ(output.state, 0);
    EXPECT_DOUBLE_EQ(player.currentTime(), 30.0);
    auto samples = output.pull();
    ASSERT_FALSE(samples.empty());
    // 30 s in, resampled to the output's rate: 200 output frames later is 4.5 ms further.
    EXPECT_NEAR(samples[2 * 200], 30004, 4);  // the resampler's filter delays a little
    ASSERT_EQ(delayed.size(), 2u);            // after open and after locate
}

TEST_F(AudioPlayerTest, OpeningSchedulesSpeedOneEvenWhenItFails) {
    output.setSpeed(0.5f);
    EXPECT_FALSE(player.open(dir.file("missing.wav")));
    ASSERT_EQ(delayed.size(), 1u);
    delayed[0]();
    EXPECT_EQ(output.speed(), 1.0f);
    player.play();
    EXPECT_EQ(output.starts, 0);  // nothing open, nothing played
}

TEST_F(AudioPlayerTest, OutOfRangeSpeedAndVolumeAreIgnored) {
    player.setSpeed(2.5f);
    EXPECT_EQ(player.speed(), 1.0f);
    player.setSpeed(0.5f);
    EXPECT_EQ(player.speed(), 0.5f);
    player.setVolume(1.5f);
    EXPECT_EQ(player.volume(), 1.0f);
    player.setVolume(-0.1f);
    EXPECT_EQ(player.volume(), 1.0f);
}

TEST_F(AudioPlayerTest, ChannelOutsideTheOutputReadsZero) {
    EXPECT_EQ(player.peakPowerForChannel(5), 0.0f);
    EXPECT_EQ(player.peakPowerForChannel(2), 0.0f);
    EXPECT_EQ(player.peakPowerForChannel(1), -7.0f);
}

TEST_F(AudioPlayerTest, ChangingTheDeviceStopsWithTheNoticeAndPlaysThereNext) {
    ASSERT_TRUE(player.open(rampPath));
    player.play();
    output.pull();
    player.setDevice("other");
    ASSERT_EQ(notices.log.size(), 1u);
    EXPECT_EQ(notices.log[0], "stop " + rampPath);
    EXPECT_EQ(output.pull()[0], 0);  // rewound
    player.play();
    EXPECT_EQ(output.lastUid, "other");
}

TEST_F(AudioPlayerTest, SwitchingOutputsStopsTheOldOneSilently) {
    test::FakeOutputStream other;
    player.setOutput(&other);
    EXPECT_EQ(output.stops, 1);
    EXPECT_EQ(other.delegate, &player);
    EXPECT_TRUE(notices.log.empty());
    player.setOutput(&output);  // `other` goes before the player does
}

TEST_F(AudioPlayerTest, AFailedOutputStopsThenReportsTheError) {
    ASSERT_TRUE(player.open(rampPath));
    player.play();
    player.outputDidFail();
    ASSERT_EQ(notices.log.size(), 2u);
    EXPECT_EQ(notices.log[0], "stop " + rampPath);
    EXPECT_EQ(notices.log[1], "error " + rampPath);
}
