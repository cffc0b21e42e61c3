#include <gtest/gtest.h>

#include <cmath>

#include "audio/AudioVolume.h"

using lumetta::audio::AudioVolume;

TEST(AudioVolume, ClampsAtBothEnds) {
    EXPECT_EQ(AudioVolume::convert(-1.0f), 0.0f);
    EXPECT_EQ(AudioVolume::convert(0.0f), 0.0f);
    EXPECT_EQ(AudioVolume::convert(1.0f), 1.0f);
    EXPECT_EQ(AudioVolume::convert(2.0f), 1.0f);
}

TEST(AudioVolume, HalfIsThePowerCurve) {
    EXPECT_FLOAT_EQ(AudioVolume::convert(0.5f), static_cast<float>(std::pow(0.5, 1.75)));
    EXPECT_NEAR(AudioVolume::convert(0.5f), 0.2973f, 0.0001f);
    EXPECT_LT(AudioVolume::convert(0.25f), AudioVolume::convert(0.5f));
}
