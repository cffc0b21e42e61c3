#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "audio/AudioPlatform.h"
#include "audio/AudioStreams.h"
#include "audio/LevelMeter.h"

namespace lumetta::audio {

/// Plays what it pulls from its delegate on a local device through a platform output queue:
/// 44.1 kHz 16-bit stereo, three 8,192-byte buffers in flight, the pull on the queue's own
/// thread. Bridge calls may come from any one thread at a time; `stop` also from the pull.
class AudioOutput final : public AudioOutputStream {
  public:
    static constexpr size_t kBufferBytes = 8192;
    static constexpr int kBufferCount = 3;

    /// `factory` makes the queues; owned.
    explicit AudioOutput(std::unique_ptr<AudioQueueFactory> factory);
    ~AudioOutput() override;
    AudioOutput(const AudioOutput&) = delete;
    AudioOutput& operator=(const AudioOutput&) = delete;

    void ASBD(AudioStreamDescription& description) const override;
    void setDelegate(AudioOutputStreamDelegate* delegate) override { delegate_.store(delegate); }
    /// Makes and primes a queue when there is none (on this thread), then plays.
    void start(const std::string& uid) override;
    void pause() override;
    void stop() override;
    float volume() const override { return gain_.load(); }
    float speed() const override { return speedFileMusic_.load(); }
    void setVolume(float volume) override;
    void setSpeed(float speed) override;
    unsigned numberOfChannels() const override { return 2; }
    float peakPowerForChannel(unsigned channel) const override;
    double currentTime() const override;
    int status() const override;

    /// Called on the queue's thread after the queue failed for good (server or device gone)
    /// and the output stopped itself. Set before the first `start`.
    void setFailureHandler(std::function<void()> handler) { failureHandler_ = std::move(handler); }

  private:
    std::shared_ptr<OutputQueue> queueOf(uint64_t generation) const;
    void readBuffer(OutputQueue& queue);
    void onBufferDone(uint64_t generation);
    void onFailed(uint64_t generation);

    std::unique_ptr<AudioQueueFactory> factory_;
    std::function<void()> failureHandler_;
    std::atomic<AudioOutputStreamDelegate*> delegate_{nullptr};
    std::atomic<bool> started_{false};
    std::atomic<bool> playing_{false};
    std::atomic<uint64_t> currentFrame_{0};
    std::atomic<float> gain_{1.0f};
    std::atomic<float> speedFileMusic_{1.0f};
    LevelMeter meter_;
    // Guards only the queue pointer and its generation; never held while the queue's own lock
    // is awaited, so the pull may take it.
    mutable std::mutex lock_;
    uint64_t generation_ = 0;
    std::shared_ptr<OutputQueue> queue_;
};

}  // namespace lumetta::audio
