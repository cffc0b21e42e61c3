#include "audio/AudioInput.h"

#include <syslog.h>

#include "audio/AudioVolume.h"

namespace lumetta::audio {

AudioInput::AudioInput(std::unique_ptr<AudioQueueFactory> factory)
    : LocalStream(std::move(factory), "AudioInput", "input") {}

AudioInput::~AudioInput() {
    stop(true);
}

std::shared_ptr<InputQueue> AudioInput::makeQueue(const std::string& uid, uint64_t generation) {
    AudioStreamDescription format;
    ASBD(format);
    InputQueueCallbacks callbacks{[this](uint8_t* data, size_t bytes) { onDelivered(data, bytes); },
                                  [this, generation] { queueFailed(generation); }};
    return factory_->makeInputQueue(format, uid, kBufferBytes, std::move(callbacks));
}

void AudioInput::stop(bool atOnce) {
    stopQueue();
    if (!atOnce)
        if (auto* delegate = delegate_.load()) delegate->inputStreamDidClosed(*this);
}

void AudioInput::applyGain(int16_t* samples, size_t count, float gain) {
    if (gain == 1.0f) return;
    for (size_t i = 0; i < count; ++i)
        samples[i] = static_cast<int16_t>(static_cast<float>(samples[i]) * gain);
}

void AudioInput::onDelivered(uint8_t* data, size_t bytes) {
    try {
        bytes -= bytes % 4;
        if (bytes == 0) return;
        // The platform hands out byte buffers of whole frames at sample alignment.
        auto* samples = reinterpret_cast<int16_t*>(static_cast<void*>(data));
        meter_.measure(samples, bytes / 4);
        applyGain(samples, bytes / 2, AudioVolume::convert(gain_.load()));
        if (auto* delegate = delegate_.load())
            delegate->inputStream(*this, data, static_cast<int64_t>(bytes));
        if (started_.load()) currentFrame_.fetch_add(bytes / 4);
    } catch (const std::exception& e) {
        syslog(LOG_ERR, "AudioInput: delivery failed: %s", e.what());
    }
}

}  // namespace lumetta::audio
