#include "audio/AudioOutput.h"

#include <syslog.h>

#include <array>

#include "audio/AudioVolume.h"

namespace lumetta::audio {

AudioOutput::AudioOutput(std::unique_ptr<AudioQueueFactory> factory)
    : factory_(std::move(factory)) {}

AudioOutput::~AudioOutput() {
    stop();
}

void AudioOutput::ASBD(AudioStreamDescription& description) const {
    description = clientStreamDescription();
}

std::shared_ptr<OutputQueue> AudioOutput::queueOf(uint64_t generation) const {
    std::lock_guard guard(lock_);
    return generation == generation_ ? queue_ : nullptr;
}

void AudioOutput::start(const std::string& uid) {
    std::shared_ptr<OutputQueue> queue;
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
        OutputQueueCallbacks callbacks{[this, generation] { onBufferDone(generation); },
                                       [this, generation] { onFailed(generation); }};
        std::shared_ptr<OutputQueue> made =
            factory_->makeOutputQueue(format, uid, kBufferBytes, std::move(callbacks));
        if (!made) {
            syslog(LOG_WARNING, "AudioOutput: no output queue for device '%s'", uid.c_str());
            return;
        }
        {
            std::lock_guard guard(lock_);
            if (generation != generation_) return;  // a stop came in between
            queue_ = made;
        }
        currentFrame_.store(0);
        started_.store(true);
        // The applied volume and rate always match what `volume` and `speed` report, also on
        // a queue made after a stop.
        made->setVolume(AudioVolume::convert(gain_.load()));
        made->setRate(speedFileMusic_.load());
        for (int i = 0; i < kBufferCount; ++i) {
            if (queueOf(generation) != made) return;  // the delegate stopped us while priming
            readBuffer(*made);
        }
        if (queueOf(generation) != made) return;
        queue = made;
    }
    if (queue->start()) playing_.store(true);
}

void AudioOutput::pause() {
    std::shared_ptr<OutputQueue> queue;
    {
        std::lock_guard guard(lock_);
        queue = queue_;
    }
    if (queue) queue->pause();
    playing_.store(false);
}

void AudioOutput::stop() {
    std::shared_ptr<OutputQueue> queue;
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
}

void AudioOutput::setVolume(float volume) {
    gain_.store(volume);
    std::shared_ptr<OutputQueue> queue;
    {
        std::lock_guard guard(lock_);
        queue = queue_;
    }
    if (queue) queue->setVolume(AudioVolume::convert(volume));
}

void AudioOutput::setSpeed(float speed) {
    speedFileMusic_.store(speed);
    std::shared_ptr<OutputQueue> queue;
    {
        std::lock_guard guard(lock_);
        queue = queue_;
    }
    if (queue) queue->setRate(speed);
}

float AudioOutput::peakPowerForChannel(unsigned channel) const {
    if (channel > 1) return kLevelFloor;
    if (!started_.load()) return kLevelFloor;
    return levelDecibels(AudioVolume::convert(gain_.load()), meter_.average(channel));
}

double AudioOutput::currentTime() const {
    return static_cast<double>(currentFrame_.load()) / clientStreamDescription().sampleRate;
}

int AudioOutput::status() const {
    if (playing_.load()) return 1;
    if (started_.load()) return 2;
    return 0;
}

void AudioOutput::readBuffer(OutputQueue& queue) {
    std::array<int16_t, kBufferBytes / 2> samples;
    auto* bytes = reinterpret_cast<uint8_t*>(samples.data());
    auto* delegate = delegate_.load();
    int64_t n = delegate ? delegate->outputStream(*this, bytes, kBufferBytes) : 0;
    if (n <= 0) return;
    if (n > static_cast<int64_t>(kBufferBytes)) n = kBufferBytes;
    n -= n % 4;
    const size_t frames = static_cast<size_t>(n) / 4;
    meter_.measure(samples.data(), frames);
    queue.enqueue(bytes, static_cast<size_t>(n));
    currentFrame_.fetch_add(frames);
}

void AudioOutput::onBufferDone(uint64_t generation) {
    try {
        if (auto queue = queueOf(generation)) readBuffer(*queue);
    } catch (const std::exception& e) {
        syslog(LOG_ERR, "AudioOutput: pull failed: %s", e.what());
    }
}

void AudioOutput::onFailed(uint64_t generation) {
    try {
        std::shared_ptr<OutputQueue> queue;
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
        syslog(LOG_WARNING, "AudioOutput: the output queue failed");
        if (failureHandler_) failureHandler_();
    } catch (const std::exception& e) {
        syslog(LOG_ERR, "AudioOutput: failure handling failed: %s", e.what());
    }
}

}  // namespace lumetta::audio
