#include "audio/LevelMeter.h"

#include <cmath>

namespace lumetta::audio {

float levelDecibels(float curveGain, float average) {
    float v = curveGain * average;
    if (v == 0.0f) return kLevelFloor;
    float d = static_cast<float>(20.0 * std::log10(static_cast<double>(v)));
    return d > kLevelFloor ? d : kLevelFloor;
}

void LevelMeter::measure(const int16_t* samples, size_t frames) {
    if (frames == 0) return;
    double sums[kChannels] = {0.0, 0.0};
    for (size_t i = 0; i < frames; ++i) {
        for (unsigned c = 0; c < kChannels; ++c) {
            double s = samples[i * kChannels + c] / 32768.0;
            sums[c] += s * s;
        }
    }
    for (unsigned c = 0; c < kChannels; ++c)
        levels_[c].store(static_cast<float>(std::sqrt(sums[c] / static_cast<double>(frames))));
}

void LevelMeter::reset() {
    for (auto& level : levels_) level.store(0.0f);
}

}  // namespace lumetta::audio
