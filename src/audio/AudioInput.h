#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/LocalStream.h"

namespace lumetta::audio {

/// Captures from a local device through a platform input queue and pushes what it captured,
/// scaled by the volume curve of its gain, to its delegate: 44.1 kHz 16-bit stereo in
/// 8,192-byte buffers, delivered on the queue's own thread. Bridge calls may come from any one
/// thread at a time; `stop` also from inside the delivery. When its queue fails for good it
/// stops without `inputStreamDidClosed` and calls its failure handler.
class AudioInput final : public LocalStream<AudioInputStream, InputQueue> {
  public:
    static constexpr size_t kBufferBytes = 8192;

    /// `factory` makes the queues; owned.
    explicit AudioInput(std::unique_ptr<AudioQueueFactory> factory);
    ~AudioInput() override;
    AudioInput(const AudioInput&) = delete;
    AudioInput& operator=(const AudioInput&) = delete;

    void setDelegate(AudioInputStreamDelegate* delegate) override { delegate_.store(delegate); }
    /// Ends capturing; what was captured is delivered first. With `atOnce` false the delegate
    /// then hears `inputStreamDidClosed` before this returns.
    void stop(bool atOnce) override;
    void setVolume(float volume) override { gain_.store(volume); }

    /// Scales 16-bit samples by `gain` in 32-bit float, truncating toward zero.
    static void applyGain(int16_t* samples, size_t count, float gain);

  private:
    std::shared_ptr<InputQueue> makeQueue(const std::string& uid, uint64_t generation) override;
    void onDelivered(uint8_t* data, size_t bytes);

    std::atomic<AudioInputStreamDelegate*> delegate_{nullptr};
};

}  // namespace lumetta::audio
