#pragma once

#include "audio/AudioFile.h"

namespace lumetta::audio {

/// Audio files through FFmpeg: readers for whatever it decodes, converting with libswresample;
/// writers of WAVE (PCM) and of AAC in MPEG-4 (its native AAC encoder).
class FfmpegAudioFiles final : public AudioFileService {
  public:
    FfmpegAudioFiles();
    std::unique_ptr<AudioFileReader> openReader(const std::string& path,
                                                const AudioStreamDescription& client) override;
    std::unique_ptr<AudioFileWriter> createWriter(const std::string& path,
                                                  const AudioFileFormat& file,
                                                  const AudioStreamDescription& client) override;
};

}  // namespace lumetta::audio
