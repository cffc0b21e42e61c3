#pragma once

// Play-rate change with the pitch kept, on interleaved 16-bit stereo, through SoundTouch.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace soundtouch {
class SoundTouch;
}

namespace lumetta::audio {

/// Stretches or squeezes audio in time without changing its pitch. One thread at a time.
class TimePitch {
  public:
    TimePitch(unsigned sampleRate, unsigned channels);
    ~TimePitch();
    TimePitch(const TimePitch&) = delete;
    TimePitch& operator=(const TimePitch&) = delete;

    /// The rate: 2.0 plays twice as fast; must be above 0.
    void setRate(double rate);
    /// Adds `frames` frames of input.
    void put(const int16_t* samples, size_t frames);
    /// Takes up to `maxFrames` processed frames; the count.
    size_t receive(int16_t* samples, size_t maxFrames);
    /// Processed frames ready to be taken.
    size_t available() const;
    /// Processes what is held back so that `receive` gets all of it (the end of the audio).
    void flush();
    /// Drops everything held, input and output.
    void clear();

  private:
    unsigned channels_;
    std::unique_ptr<soundtouch::SoundTouch> engine_;
    std::vector<float> scratch_;
};

}  // namespace lumetta::audio
