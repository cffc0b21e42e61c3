#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace lumetta::audio {

/// The facts of a WAV file for the "wavstat" command.
class WavFileProc {
  public:
    /// Fills `dict` with "format", "channels", "bits", "sampleRate", "samples" and, when the
    /// file has an "acid" chunk with a tempo >= 0, "tempo", "denominator", "numerator",
    /// "beatCount". False (and `dict` untouched) when the file is no readable WAV file or its
    /// block alignment is 0. Any thread; blocks on file I/O.
    static bool wavstat(const std::string& path, nlohmann::json& dict);
};

}  // namespace lumetta::audio
