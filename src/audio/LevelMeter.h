#pragma once

// The level meter of the local audio streams: the average level of each channel over the last
// buffer the stream handled, and its reading in decibels with the applied gain.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace lumetta::audio {

/// The floor of every level reading, in dB.
inline constexpr float kLevelFloor = -120.0f;

/// Decibels of `average` (linear 0-1) scaled by `curveGain`: 20 log10 of the product, never
/// below the floor; the floor for silence.
float levelDecibels(float curveGain, float average);

/// Per-channel average level of interleaved 16-bit stereo PCM, updated once per buffer on the
/// audio thread and read from any thread.
class LevelMeter {
  public:
    static constexpr unsigned kChannels = 2;

    /// Measures one buffer of whole 16-bit stereo frames (root mean square, full scale 1.0).
    /// Audio thread.
    void measure(const int16_t* samples, size_t frames);
    /// The average of channel `c` (0 or 1) over the last buffer; 0 before any. Any thread.
    float average(unsigned c) const { return c < kChannels ? levels_[c].load() : 0.0f; }
    /// Back to silence (the stream stopped). Any thread.
    void reset();

  private:
    std::array<std::atomic<float>, kChannels> levels_{};
};

}  // namespace lumetta::audio
