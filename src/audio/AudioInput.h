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

/// Captures from a local device through a platform input queue and pushes what it captured,
/// scaled by the volume curve of its gain, to its delegate: 44.1 kHz 16-bit stereo in
/// 8,192-byte buffers, delivered on the queue's own thread. Bridge calls may come from any one
/// thread at a time; `stop` also from inside the delivery.
class AudioInput final : public AudioInputStream {
  public:
    static constexpr size_t kBufferBytes = 8192;

    /// `factory` makes the queues; owned.
    explicit AudioInput(std::unique_ptr<AudioQueueFactory> factory);
    ~AudioInput() override;
    AudioInput(const AudioInput&) = delete;
    AudioInput& operator=(const AudioInput&) = delete;

    void ASBD(AudioStreamDescription& description) const override;
    void setDelegate(AudioInputStreamDelegate* delegate) override { delegate_.store(delegate); }
    void start(const std::string& uid) override;
    void pause() override;
    /// Ends capturing; what was captured is delivered first. With `atOnce` false the delegate
    /// then hears `inputStreamDidClosed` before this returns.
    void stop(bool atOnce) override;
    float volume() const override { return gain_.load(); }
    void setVolume(float volume) override { gain_.store(volume); }
    unsigned numberOfChannels() const override { return 2; }
    float peakPowerForChannel(unsigned channel) const override;
    double currentTime() const override;
    int status() const override;

    /// Called on the queue's thread after the queue failed for good and the input stopped
    /// itself (without `inputStreamDidClosed`). Set before the first `start`.
    void setFailureHandler(std::function<void()> handler) { failureHandler_ = std::move(handler); }

    /// Scales 16-bit samples by `gain` in 32-bit float, truncating toward zero.
    static void applyGain(int16_t* samples, size_t count, float gain);

  private:
    void onDelivered(uint8_t* data, size_t bytes);
    void onFailed(uint64_t generation);

    std::unique_ptr<AudioQueueFactory> factory_;
    std::function<void()> failureHandler_;
    std::atomic<AudioInputStreamDelegate*> delegate_{nullptr};
    std::atomic<bool> started_{false};
    std::atomic<bool> playing_{false};
    std::atomic<uint64_t> currentFrame_{0};
    std::atomic<float> gain_{1.0f};
    LevelMeter meter_;
    mutable std::mutex lock_;  // the queue pointer and its generation only
    uint64_t generation_ = 0;
    std::shared_ptr<InputQueue> queue_;
};

}  // namespace lumetta::audio
