#include <gtest/gtest.h>

#include <cmath>

#include "audio/AudioTestSupport.h"
#include "audio/TimePitch.h"

using lumetta::audio::TimePitch;

namespace {

// One second of a 440 Hz stereo tone through the stretcher at `rate`; what comes out.
std::vector<int16_t> stretch(double rate) {
    TimePitch tp(44100, 2);
    tp.setRate(rate);
    std::vector<int16_t> in;
    for (int f = 0; f < 44100; ++f) {
        auto v = static_cast<int16_t>(16000 * std::sin(2 * M_PI * 440 * f / 44100.0));
        in.push_back(v);
        in.push_back(v);
    }
    std::vector<int16_t> out;
    std::vector<int16_t> chunk(2 * 1024);
    for (size_t at = 0; at < in.size(); at += 2 * 2048) {
        size_t frames = std::min<size_t>(2048, (in.size() - at) / 2);
        tp.put(in.data() + at, frames);
        while (size_t n = tp.receive(chunk.data(), 1024))
            out.insert(out.end(), chunk.begin(), chunk.begin() + 2 * n);
    }
    return out;
}

}  // namespace

TEST(TimePitch, HalfSpeedTakesTwiceAsLongAtTheSamePitch) {
    auto out = stretch(0.5);
    int64_t frames = static_cast<int64_t>(out.size() / 2);
    EXPECT_NEAR(frames, 88200, 6000);  // the stretcher holds back a little at the end
    EXPECT_NEAR(lumetta::test::zeroCrossingFrequency(out, 2, 0, 4410, frames - 4410, 44100), 440,
                6);
}

TEST(TimePitch, DoubleSpeedTakesHalfAsLongAtTheSamePitch) {
    auto out = stretch(2.0);
    int64_t frames = static_cast<int64_t>(out.size() / 2);
    EXPECT_NEAR(frames, 22050, 4000);
    EXPECT_NEAR(lumetta::test::zeroCrossingFrequency(out, 2, 0, 2205, frames - 2205, 44100), 440,
                6);
}

TEST(TimePitch, ClearDropsWhatItHeld) {
    TimePitch tp(44100, 2);
    tp.setRate(0.5);
    std::vector<int16_t> in(2 * 8192, 1000);
    tp.put(in.data(), 8192);
    EXPECT_GT(tp.available(), 0u);
    tp.clear();
    EXPECT_EQ(tp.available(), 0u);
}
