#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/LocalStream.h"

namespace lumetta::audio {

/// Plays what it pulls from its delegate on a local device through a platform output queue:
/// 44.1 kHz 16-bit stereo, three 8,192-byte buffers in flight, the pull on the queue's own
/// thread. Bridge calls may come from any one thread at a time; `stop` also from the pull.
class AudioOutput final : public LocalStream<AudioOutputStream, OutputQueue> {
  public:
    static constexpr size_t kBufferBytes = 8192;
    static constexpr int kBufferCount = 3;

    /// `factory` makes the queues; owned.
    explicit AudioOutput(std::unique_ptr<AudioQueueFactory> factory);
    ~AudioOutput() override;
    AudioOutput(const AudioOutput&) = delete;
    AudioOutput& operator=(const AudioOutput&) = delete;

    void setDelegate(AudioOutputStreamDelegate* delegate) override { delegate_.store(delegate); }
    void stop() override;
    float speed() const override { return speedFileMusic_.load(); }
    void setVolume(float volume) override;
    void setSpeed(float speed) override;

  private:
    std::shared_ptr<OutputQueue> makeQueue(const std::string& uid, uint64_t generation) override;
    /// Applies the volume and rate and queues the first buffers, so that playing starts with
    /// audio in hand.
    bool prime(OutputQueue& queue, uint64_t generation) override;
    void readBuffer(OutputQueue& queue);
    void onBufferDone(uint64_t generation);

    std::atomic<AudioOutputStreamDelegate*> delegate_{nullptr};
    std::atomic<float> speedFileMusic_{1.0f};
};

}  // namespace lumetta::audio
