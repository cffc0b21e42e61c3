#include "audio/AudioOutput.h"

#include <syslog.h>

#include <array>

#include "audio/AudioVolume.h"

namespace lumetta::audio {

AudioOutput::AudioOutput(std::unique_ptr<AudioQueueFactory> factory)
    : LocalStream(std::move(factory), "AudioOutput", "output") {}

AudioOutput::~AudioOutput() {
    stop();
}

std::shared_ptr<OutputQueue> AudioOutput::makeQueue(const std::string& uid, uint64_t generation) {
    AudioStreamDescription format;
    ASBD(format);
    OutputQueueCallbacks callbacks{[this, generation] { onBufferDone(generation); },
                                   [this, generation] { queueFailed(generation); }};
    return factory_->makeOutputQueue(format, uid, kBufferBytes, std::move(callbacks));
}

bool AudioOutput::prime(OutputQueue& queue, uint64_t generation) {
    // The applied volume and rate always match what `volume` and `speed` report, also on a
    // queue made after a stop.
    queue.setVolume(AudioVolume::convert(gain_.load()));
    queue.setRate(speedFileMusic_.load());
    for (int i = 0; i < kBufferCount; ++i) {
        if (queueOf(generation).get() != &queue) return false;  // the delegate stopped us
        readBuffer(queue);
    }
    return queueOf(generation).get() == &queue;
}

void AudioOutput::stop() {
    stopQueue();
}

void AudioOutput::setVolume(float volume) {
    gain_.store(volume);
    if (auto current = queue()) current->setVolume(AudioVolume::convert(volume));
}

void AudioOutput::setSpeed(float speed) {
    speedFileMusic_.store(speed);
    if (auto current = queue()) current->setRate(speed);
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

}  // namespace lumetta::audio
