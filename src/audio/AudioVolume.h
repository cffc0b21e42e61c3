#pragma once

namespace lumetta::audio {

/// Maps the page's linear 0-1 volume control to the gain that is applied: a power curve.
class AudioVolume {
  public:
    /// 0.0 at or below 0, 1.0 at or above 1, otherwise x^1.75 (in double, narrowed). Any thread.
    static float convert(float x);
};

}  // namespace lumetta::audio
