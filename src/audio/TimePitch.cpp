#include "audio/TimePitch.h"

#include <soundtouch/SoundTouch.h>

#include <algorithm>
#include <cmath>

namespace lumetta::audio {

TimePitch::TimePitch(unsigned sampleRate, unsigned channels)
    : channels_(channels), engine_(std::make_unique<soundtouch::SoundTouch>()) {
    engine_->setSampleRate(sampleRate);
    engine_->setChannels(channels);
    engine_->setPitch(1.0);
    engine_->setRate(1.0);
}

TimePitch::~TimePitch() = default;

void TimePitch::setRate(double rate) {
    if (rate > 0.0) engine_->setTempo(rate);
}

void TimePitch::put(const int16_t* samples, size_t frames) {
    scratch_.resize(frames * channels_);
    for (size_t i = 0; i < frames * channels_; ++i) scratch_[i] = samples[i] * (1.0f / 32768.0f);
    engine_->putSamples(scratch_.data(), static_cast<unsigned>(frames));
}

size_t TimePitch::receive(int16_t* samples, size_t maxFrames) {
    scratch_.resize(maxFrames * channels_);
    size_t n = engine_->receiveSamples(scratch_.data(), static_cast<unsigned>(maxFrames));
    for (size_t i = 0; i < n * channels_; ++i) {
        float v = std::clamp(scratch_[i] * 32768.0f, -32768.0f, 32767.0f);
        samples[i] = static_cast<int16_t>(std::lrintf(v));
    }
    return n;
}

size_t TimePitch::available() const {
    return engine_->numSamples();
}

void TimePitch::flush() {
    engine_->flush();
}

void TimePitch::clear() {
    engine_->clear();
}

}  // namespace lumetta::audio
