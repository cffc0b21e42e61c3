// The input stream on a fake queue: gain, pause, stop and failure.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "audio/AudioInput.h"
#include "audio/AudioTestSupport.h"
#include "audio/AudioVolume.h"

using namespace lumetta;
using audio::AudioInput;
using test::FakeQueueFactory;

namespace {

struct Sink final : audio::AudioInputStreamDelegate {
    std::vector<int16_t> samples;
    int closed = 0;
    void inputStream(audio::AudioInputStream&, const uint8_t* b, int64_t n) override {
        auto* s = reinterpret_cast<const int16_t*>(b);
        samples.insert(samples.end(), s, s + n / 2);
    }
    void inputStreamDidClosed(audio::AudioInputStream&) override { ++closed; }
};

class AudioInputTest : public ::testing::Test {
  protected:
    std::shared_ptr<FakeQueueFactory::State> state = std::make_shared<FakeQueueFactory::State>();
    AudioInput input{std::make_unique<FakeQueueFactory>(state)};
    Sink sink;
    void SetUp() override { input.setDelegate(&sink); }
    void deliver(std::vector<int16_t> samples) {
        state->input.delivered(reinterpret_cast<uint8_t*>(samples.data()), samples.size() * 2);
    }
};
}  // namespace

TEST_F(AudioInputTest, DeliveriesCarryTheCurvedGainTruncatedTowardZero) {
    input.start("mic");
    EXPECT_EQ(input.status(), 1);
    EXPECT_EQ(state->lastUid, "mic");
    input.setVolume(0.5f);
    deliver({10000, -10000, 32767, -32768});
    const float g = audio::AudioVolume::convert(0.5f);
    ASSERT_EQ(sink.samples.size(), 4u);
    EXPECT_EQ(sink.samples[0], static_cast<int16_t>(10000.0f * g));
    EXPECT_EQ(sink.samples[1], static_cast<int16_t>(-10000.0f * g));
    EXPECT_EQ(sink.samples[0], 2973);
    EXPECT_EQ(sink.samples[1], -2973);
    EXPECT_DOUBLE_EQ(input.currentTime(), 2 / 44100.0);
}

TEST_F(AudioInputTest, StopNotAtOnceReportsTheEndBeforeReturning) {
    input.start("");
    input.stop(false);
    EXPECT_EQ(sink.closed, 1);
    EXPECT_EQ(input.status(), 0);
    EXPECT_EQ(input.currentTime(), 0.0);
    input.stop(true);
    EXPECT_EQ(sink.closed, 1);
}

TEST_F(AudioInputTest, PauseHoldsAndStartResumesTheSameQueue) {
    input.start("");
    input.pause();
    EXPECT_EQ(input.status(), 2);
    input.start("");
    EXPECT_EQ(input.status(), 1);
    EXPECT_EQ(state->inputsMade, 1);
}

TEST_F(AudioInputTest, AFailedQueueStopsWithoutTheEndNoticeAndCallsTheHandler) {
    int failures = 0;
    input.setFailureHandler([&] { ++failures; });
    input.start("");
    state->input.failed();
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(sink.closed, 0);
    EXPECT_EQ(input.status(), 0);
}

TEST_F(AudioInputTest, StoppedInputReadsTheFloor) {
    EXPECT_EQ(input.peakPowerForChannel(0), -120.0f);
    EXPECT_EQ(input.peakPowerForChannel(1), -120.0f);
    input.start("");
    deliver(std::vector<int16_t>(512, 16384));
    EXPECT_NEAR(input.peakPowerForChannel(0), -6.02f, 0.01f);
}
