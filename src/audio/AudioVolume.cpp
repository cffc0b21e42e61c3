#include "audio/AudioVolume.h"

#include <cmath>

namespace lumetta::audio {

float AudioVolume::convert(float x) {
    if (x <= 0.0f) return 0.0f;
    if (x >= 1.0f) return 1.0f;
    return static_cast<float>(std::pow(static_cast<double>(x), 1.75));
}

}  // namespace lumetta::audio
