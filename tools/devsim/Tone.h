#pragma once

// The simulator's test tone: a 16-bit stereo triangle wave in integer arithmetic, so a test can
// compute exactly the bytes the simulator sends.

#include <cstddef>
#include <cstdint>

namespace lumetta::devsim {

/// Byte `index` of the tone's little-endian stereo stream (frame = index / 4) with a period of
/// `period` frames; the right channel is the left one inverted.
inline uint8_t toneByte(uint64_t index, uint32_t period) {
    const uint64_t frame = index / 4;
    const uint32_t phase = static_cast<uint32_t>(frame % period);
    // Triangle from -16000 to +16000 and back over one period.
    const int32_t half = static_cast<int32_t>(period / 2 ? period / 2 : 1);
    int32_t p = static_cast<int32_t>(phase);
    int32_t value = p < half ? -16000 + 32000 * p / half : 16000 - 32000 * (p - half) / half;
    if (index % 4 >= 2) value = -value;
    const uint16_t sample = static_cast<uint16_t>(static_cast<int16_t>(value));
    return index % 2 == 0 ? static_cast<uint8_t>(sample & 0xFF) : static_cast<uint8_t>(sample >> 8);
}

/// The period in frames of a tone of `hz` at 44,100 frames a second (at least 2).
inline uint32_t tonePeriod(double hz) {
    if (!(hz > 0)) return 100;
    double frames = 44100.0 / hz;
    return frames < 2 ? 2 : static_cast<uint32_t>(frames);
}

}  // namespace lumetta::devsim
