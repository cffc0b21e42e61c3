#pragma once

// The platform's audio file reader and writer as the player, recorder and converter use them.
// The FFmpeg implementation lives in ffmpeg/; tests use doubles.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "audio/AudioStreams.h"

namespace lumetta::audio {

/// 'aac ', 'alac', '.mp3' and the other data formats a file may hold.
inline constexpr uint32_t kAudioFormatMPEG4AAC = 0x61616320;
inline constexpr uint32_t kAudioFormatAppleLossless = 0x616C6163;
inline constexpr uint32_t kAudioFormatMPEGLayer3 = 0x2E6D7033;

/// Reads an audio file, decoding and converting it on the fly to a client format (interleaved
/// PCM of any rate and channel count). One thread at a time.
class AudioFileReader {
  public:
    virtual ~AudioFileReader() = default;
    /// The file's own data format (sample rate, channels, bits, format id; bit rate in
    /// `reserved`).
    virtual AudioStreamDescription fileFormat() const = 0;
    /// The file's length in its own frames.
    virtual uint64_t totalFrames() const = 0;
    /// Reads up to `frames` client frames into `buffer`; the count, 0 at the end, -1 when the
    /// file cannot be read.
    virtual int64_t read(uint8_t* buffer, int64_t frames) = 0;
    /// Moves to the file's own frame `frame`; false when the file cannot seek there.
    virtual bool seek(uint64_t frame) = 0;
};

/// What a writer writes: a WAVE file of linear PCM, or AAC in an MPEG-4 audio file.
struct AudioFileFormat {
    enum class Container { wave, mpeg4 };
    Container container = Container::wave;
    /// For WAVE: the samples' format (16/24/32-bit integers or 32-bit float), rate, channels.
    /// For MPEG-4: rate and channels; the encoder's bit rate in `reserved`.
    AudioStreamDescription format;
};

/// Writes an audio file from client-format PCM. One thread at a time.
class AudioFileWriter {
  public:
    /// Finishes the file when `finish` was not called.
    virtual ~AudioFileWriter() = default;
    /// Appends `frames` client frames; false when writing failed (the file then keeps what was
    /// written before).
    virtual bool write(const uint8_t* data, int64_t frames) = 0;
    /// Completes the file so that players read it; false when that failed. Once.
    virtual bool finish() = 0;
};

/// What a format query tells about a file.
struct AudioFileInfo {
    AudioStreamDescription format;  ///< the file's own data format, bit rate in `reserved`
    double duration = 0;            ///< estimated, in seconds
};

/// Opens readers and creates writers.
class AudioFileService {
  public:
    virtual ~AudioFileService() = default;
    /// The format and duration of the audio file at `path`, or nullopt.
    virtual std::optional<AudioFileInfo> probe(const std::string& path) {
        auto reader = openReader(path, clientStreamDescription());
        if (!reader) return std::nullopt;
        AudioFileInfo info{reader->fileFormat(), 0.0};
        if (info.format.sampleRate > 0)
            info.duration = static_cast<double>(reader->totalFrames()) / info.format.sampleRate;
        return info;
    }
    /// A reader of the regular file at `path` converting to `client`, or null.
    virtual std::unique_ptr<AudioFileReader> openReader(const std::string& path,
                                                        const AudioStreamDescription& client) = 0;
    /// A new file at `path` (overwriting a regular file there) fed in `client`, or null, in
    /// which case nothing is left at `path`.
    virtual std::unique_ptr<AudioFileWriter> createWriter(const std::string& path,
                                                          const AudioFileFormat& file,
                                                          const AudioStreamDescription& client) = 0;
};

}  // namespace lumetta::audio
