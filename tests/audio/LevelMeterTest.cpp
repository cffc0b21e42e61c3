#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "audio/AudioVolume.h"
#include "audio/LevelMeter.h"

using lumetta::audio::AudioVolume;
using lumetta::audio::kLevelFloor;
using lumetta::audio::levelDecibels;
using lumetta::audio::LevelMeter;

TEST(LevelDecibels, FullScaleAtUnityGainIsZero) {
    EXPECT_FLOAT_EQ(levelDecibels(1.0f, 1.0f), 0.0f);
}

TEST(LevelDecibels, GainOfHalfTheControlReadsAboutMinusTenPointFive) {
    EXPECT_NEAR(levelDecibels(AudioVolume::convert(0.5f), 1.0f), -10.54f, 0.01f);
}

TEST(LevelDecibels, SilenceAndVeryQuietSignalsReadTheFloor) {
    EXPECT_EQ(levelDecibels(1.0f, 0.0f), kLevelFloor);
    EXPECT_EQ(levelDecibels(0.0f, 1.0f), kLevelFloor);
    EXPECT_EQ(levelDecibels(1.0f, 1e-7f), kLevelFloor);
    EXPECT_GT(levelDecibels(1.0f, 1e-5f), kLevelFloor);
}

TEST(LevelMeter, MeasuresEachChannelOverTheBuffer) {
    LevelMeter meter;
    std::vector<int16_t> samples;
    for (int i = 0; i < 2048; ++i) {
        samples.push_back(i % 2 ? 16384 : -16384);  // left: square at half scale
        samples.push_back(0);                       // right: silence
    }
    meter.measure(samples.data(), 2048);
    EXPECT_NEAR(meter.average(0), 0.5f, 1e-6f);
    EXPECT_EQ(meter.average(1), 0.0f);
    EXPECT_EQ(meter.average(2), 0.0f);
    meter.reset();
    EXPECT_EQ(meter.average(0), 0.0f);
}
