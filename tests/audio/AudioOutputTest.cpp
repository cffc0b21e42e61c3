// The output stream on a fake queue: priming, refills, pause and stop, volume and level.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "audio/AudioOutput.h"
#include "audio/AudioTestSupport.h"
#include "audio/AudioVolume.h"

using namespace lumetta;
using audio::AudioOutput;
using test::FakeQueueFactory;

namespace {

// Hands out a constant full-scale-quarter signal; counts pulls; can stop the output itself.
struct Source final : audio::AudioOutputStreamDelegate {
    int pulls = 0;
    int64_t limitPulls = -1;  // after this many, answer 0 and stop the output, as the player does
    int64_t outputStream(audio::AudioOutputStream& stream, uint8_t* buffer, int64_t max) override {
        ++pulls;
        if (limitPulls >= 0 && pulls > limitPulls) {
            stream.stop();
            return 0;
        }
        auto* s = reinterpret_cast<int16_t*>(buffer);
        for (int64_t i = 0; i < max / 2; ++i) s[i] = 8192;
        return max;
    }
};

class AudioOutputTest : public ::testing::Test {
  protected:
    std::shared_ptr<FakeQueueFactory::State> state = std::make_shared<FakeQueueFactory::State>();
    AudioOutput output{std::make_unique<FakeQueueFactory>(state)};
    Source source;
    void SetUp() override { output.setDelegate(&source); }
};

}  // namespace

TEST_F(AudioOutputTest, StartPrimesThreeFullBuffersAndPlays) {
    output.start("sink-a");
    EXPECT_EQ(source.pulls, 3);
    ASSERT_EQ(state->queued.size(), 3u);
    for (auto& b : state->queued) EXPECT_EQ(b.size(), 8192u);
    EXPECT_EQ(state->lastUid, "sink-a");
    EXPECT_TRUE(state->running);
    EXPECT_EQ(output.status(), 1);
    EXPECT_DOUBLE_EQ(output.currentTime(), 3 * 2048 / 44100.0);
}

TEST_F(AudioOutputTest, EachConsumedBufferIsRefilledFromTheDelegate) {
    output.start("");
    ASSERT_TRUE(FakeQueueFactory::consumeOne(*state));
    EXPECT_EQ(source.pulls, 4);
    EXPECT_EQ(state->queued.size(), 3u);
    EXPECT_DOUBLE_EQ(output.currentTime(), 4 * 2048 / 44100.0);
}

TEST_F(AudioOutputTest, PauseKeepsTheQueueAndStartResumesIt) {
    output.start("");
    output.pause();
    EXPECT_EQ(output.status(), 2);
    output.start("");
    EXPECT_EQ(output.status(), 1);
    EXPECT_EQ(state->outputsMade, 1);
    EXPECT_EQ(source.pulls, 3);
}

TEST_F(AudioOutputTest, StopForgetsTheQueueAndTheCount) {
    output.start("");
    output.stop();
    EXPECT_EQ(output.status(), 0);
    EXPECT_EQ(output.currentTime(), 0.0);
    EXPECT_TRUE(state->stopped);
    EXPECT_EQ(output.peakPowerForChannel(0), -120.0f);
    output.start("");
    EXPECT_EQ(state->outputsMade, 2);
}

TEST_F(AudioOutputTest, DelegateStoppingInsideThePullEndsPlaying) {
    source.limitPulls = 4;
    output.start("");
    ASSERT_TRUE(FakeQueueFactory::consumeOne(*state));  // pull 4: still data
    ASSERT_TRUE(FakeQueueFactory::consumeOne(*state));  // pull 5: the end, stops from inside
    EXPECT_EQ(output.status(), 0);
    EXPECT_TRUE(state->stopped);
    EXPECT_FALSE(FakeQueueFactory::consumeOne(*state));
}

TEST_F(AudioOutputTest, DelegateStoppingWhilePrimingLeavesNothingRunning) {
    source.limitPulls = 1;
    output.start("");
    EXPECT_EQ(output.status(), 0);
    EXPECT_FALSE(state->running);
}

TEST_F(AudioOutputTest, ARefusedDeviceStartsNothing) {
    state->refuse = true;
    output.start("gone");
    EXPECT_EQ(output.status(), 0);
    EXPECT_EQ(source.pulls, 0);
}

TEST_F(AudioOutputTest, VolumeGoesThroughTheCurveAndANewQueueKeepsVolumeAndSpeed) {
    output.setVolume(0.5f);
    output.setSpeed(0.5f);
    EXPECT_EQ(output.volume(), 0.5f);
    output.start("");
    EXPECT_FLOAT_EQ(state->volume, audio::AudioVolume::convert(0.5f));
    EXPECT_EQ(state->rate, 0.5f);
    output.setSpeed(2.0f);
    EXPECT_EQ(state->rate, 2.0f);
    EXPECT_EQ(output.speed(), 2.0f);
}

TEST_F(AudioOutputTest, LevelReadsTheLastBufferScaledByTheCurve) {
    output.start("");
    // 8192 of 32768 is a quarter of full scale: -12.04 dB at unity gain.
    EXPECT_NEAR(output.peakPowerForChannel(0), -12.04f, 0.01f);
    output.setVolume(0.5f);
    EXPECT_NEAR(output.peakPowerForChannel(1), -12.04f - 10.54f, 0.02f);
    EXPECT_EQ(output.peakPowerForChannel(2), -120.0f);
}

TEST_F(AudioOutputTest, AFailedQueueStopsTheOutputAndCallsTheHandler) {
    int failures = 0;
    output.setFailureHandler([&] { ++failures; });
    output.start("");
    state->output.failed();
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(output.status(), 0);
    EXPECT_TRUE(state->stopped);
    state->output.failed();  // a stale notice from the same queue changes nothing
    EXPECT_EQ(failures, 1);
}
