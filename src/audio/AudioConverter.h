#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audio/AudioFile.h"

namespace lumetta::audio {

/// Converts, splits and reverses audio files in blocks of 16,384 frames, so memory stays bounded
/// whatever a file's length. Each operation opens and closes its own files; on failure the
/// destinations it names are removed, except one that is the source itself. Keeps no state
/// between calls; runs on the calling thread.
class AudioConverter {
  public:
    static constexpr int64_t kBlockFrames = 16384;

    /// `files` and `temporaryFolder` (a private folder ending in "/", or nullopt) outlive it.
    AudioConverter(AudioFileService& files,
                   std::function<std::optional<std::string>()> temporaryFolder);

    /// The file's data format (bit rate in `reserved`) and estimated duration.
    bool formatWithURL(const std::string& path, AudioStreamDescription* format, double* duration);
    /// To WAVE ('lpcm': `bitsPerChannel` integer bits, 0 for 32-bit float) or to AAC in MPEG-4
    /// ('aac ': bit rate in `reserved`) at `target`'s rate and channels; one channel from
    /// several is the peak-safe sum of them.
    bool convertAtURL(const std::string& source, const std::string& destination,
                      const AudioStreamDescription& target);
    /// Into WAVE files of min(channels / n, 2) channels each, in order.
    bool splitAtURL(const std::string& source, const std::vector<std::string>& destinations);
    /// A WAVE file with the frames in reverse order, through a private temporary file.
    bool reverseAtURL(const std::string& source, const std::string& destination);

    /// The factor that scales the sum of a frame's channels so that its peak over the file
    /// never exceeds the loudest single channel's: 1 when the sums stay within it.
    static float downmixFactor(float loudestSample, float loudestSum);

  private:
    AudioFileService& files_;
    std::function<std::optional<std::string>()> temporaryFolder_;
};

/// True when both paths name the same existing file, or the same path.
bool sameFile(const std::string& a, const std::string& b);

}  // namespace lumetta::audio
