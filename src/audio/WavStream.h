#pragma once

#include <cstdint>
#include <memory>

#include "audio/DataStream.h"
#include "audio/RiffChunkStream.h"

namespace lumetta::audio {

/// The first 16 bytes of a "fmt " chunk.
struct WavFormat {
    uint16_t formatTag = 0;  ///< 1 integer PCM, 3 IEEE float, 0xFFFE extensible
    uint16_t channels = 0;
    uint32_t samplesPerSec = 0;
    uint32_t avgBytesPerSec = 0;
    uint16_t blockAlign = 0;  ///< bytes per frame
    uint16_t bitsPerSample = 0;
};

/// The fields of an "acid" chunk the reader uses.
struct AcidInfo {
    uint32_t beats = 0;
    uint16_t denominator = 0;
    uint16_t numerator = 0;
    float tempo = -1.0f;
};

/// A RIFF/WAVE parser whose stream operations are those of the "data" chunk, so a client reads
/// sample bytes directly. The underlying stream is not owned and must outlive this object.
class WavStream : public DataStream {
  public:
    explicit WavStream(DataStream& file) : file_(&file) {}
    ~WavStream() override;
    WavStream(const WavStream&) = delete;
    WavStream& operator=(const WavStream&) = delete;

    /// Parses the header from the file's current offset: "RIFF", "WAVE", "fmt " (at least 16
    /// bytes), then a "data" chunk after it. False when any of these is missing or when already
    /// open.
    bool openRead();
    /// The format record read from "fmt ".
    const WavFormat& format() const { return format_; }
    /// The sub-format tag of an extensible "fmt " chunk (its GUID's first two bytes), or 0.
    uint16_t subFormat() const { return subFormat_; }
    /// Whole frames in the "data" chunk; 0 when the block alignment is 0.
    uint64_t frameCount() const;
    /// Reads the "acid" chunk wherever it stands; false when missing or shorter than 24 bytes.
    bool readAcid(AcidInfo& out);

    uint64_t size() const override { return data_ ? data_->size() : 0; }
    uint64_t position() const override { return data_ ? data_->position() : 0; }
    bool seek(uint64_t offset) override { return data_ ? data_->seek(offset) : false; }
    bool skip(int64_t distance) override { return data_ ? data_->skip(distance) : false; }
    uint64_t read(void* buffer, uint64_t count) override {
        return data_ ? data_->read(buffer, count) : 0;
    }

  private:
    DataStream* file_;
    std::unique_ptr<RiffChunkStream> riff_;
    std::unique_ptr<RiffChunkStream> data_;
    WavFormat format_;
    uint16_t subFormat_ = 0;
};

}  // namespace lumetta::audio
