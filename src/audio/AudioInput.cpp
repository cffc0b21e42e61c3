#include "audio/AudioInput.h"

#include <syslog.h>

#include "audio/AudioVolume.h"

namespace lumetta::audio {

AudioInput::AudioInput(std::unique_ptr<AudioQueueFactory> factory) : factory_(std::move(factory)) {}

AudioInput::~AudioInput() {
    stop(true);
}

void AudioInput::ASBD(AudioStreamDescription& description) const {
    description = clientStreamDescription();
}

void AudioInput::start(const std::string& uid) {
    std::shared_ptr<InputQueue> queue;
    {
        std::lock_guard guard(lock_);
        queue = queue_;
    }
    if (!queue) {
        AudioStreamDescription format;
        ASBD(format);
        uint64_t generation;
        {
            std::lock_guard guard(lock_);
            generation = ++generation_;
        }
        InputQueueCallbacks callbacks{
            [this](uint8_t* data, size_t bytes) { onDelivered(data, bytes); },
            [this, generation] { onFailed(generation); }};
        std::shared_ptr<InputQueue> made =
            factory_->makeInputQueue(format, uid, kBufferBytes, std::move(callbacks));
        if (!made) {
            syslog(LOG_WARNING, "AudioInput: no input queue for device '%s'", uid.c_str());
            return;
        }
        {
            std::lock_guard guard(lock_);
            if (generation != generation_) return;
            queue_ = made;
        }
        currentFrame_.store(0);
        started_.store(true);
        queue = made;
    }
    if (queue->start()) playing_.store(true);
}

void AudioInput::pause() {
    std::shared_ptr<InputQueue> queue;
    {
        std::lock_guard guard(lock_);
        queue = queue_;
    }
    if (queue) queue->pause();
    playing_.store(false);
}

void AudioInput::stop(bool atOnce) {
    std::shared_ptr<InputQueue> queue;
    {
        std::lock_guard guard(lock_);
        queue = std::move(queue_);
        queue_.reset();
        ++generation_;
    }
    if (queue) queue->stop();
    started_.store(false);
    playing_.store(false);
    currentFrame_.store(0);
    meter_.reset();
    if (!atOnce)
        if (auto* delegate = delegate_.load()) delegate->inputStreamDidClosed(*this);
}

float AudioInput::peakPowerForChannel(unsigned channel) const {
    if (channel > 1) return kLevelFloor;
    if (!started_.load()) return kLevelFloor;
    return levelDecibels(AudioVolume::convert(gain_.load()), meter_.average(channel));
}

double AudioInput::currentTime() const {
    return static_cast<double>(currentFrame_.load()) / clientStreamDescription().sampleRate;
}

int AudioInput::status() const {
    if (playing_.load()) return 1;
    if (started_.load()) return 2;
    return 0;
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

void AudioInput::onFailed(uint64_t generation) {
    try {
        std::shared_ptr<InputQueue> queue;
        {
            std::lock_guard guard(lock_);
            if (generation != generation_ || !queue_) return;
            queue = std::move(queue_);
            queue_.reset();
            ++generation_;
        }
        queue->stop();
        started_.store(false);
        playing_.store(false);
        currentFrame_.store(0);
        meter_.reset();
        syslog(LOG_WARNING, "AudioInput: the input queue failed");
        if (failureHandler_) failureHandler_();
    } catch (const std::exception& e) {
        syslog(LOG_ERR, "AudioInput: failure handling failed: %s", e.what());
    }
}

}  // namespace lumetta::audio
