#pragma once

#include <cstdint>

#include "audio/DataStream.h"

namespace lumetta::audio {

/// A window onto the data of one RIFF chunk inside a parent stream. The parent is not owned
/// and must outlive this stream; closing moves the parent to the next chunk's header.
class RiffChunkStream : public DataStream {
  public:
    explicit RiffChunkStream(DataStream& parent) : parent_(&parent) {}
    ~RiffChunkStream() override;
    RiffChunkStream(const RiffChunkStream&) = delete;
    RiffChunkStream& operator=(const RiffChunkStream&) = delete;

    /// Walks chunk headers from the parent's current offset to the chunk named `id` (four
    /// characters) and opens it; false when already open or there is no such chunk. A size
    /// field reaching past the parent's end is cut to what the parent holds.
    bool openRead(const char* id);
    /// Moves the parent past this chunk (and its pad byte) and resets every field.
    void close();
    /// 0 not open, 1 open for reading.
    int mode() const { return mode_; }
    /// The parent's offset of the first data byte.
    uint64_t start() const { return start_; }

    uint64_t size() const override { return size_; }
    uint64_t position() const override { return position_; }
    bool seek(uint64_t offset) override;
    bool skip(int64_t distance) override;
    uint64_t read(void* buffer, uint64_t count) override;

  private:
    DataStream* parent_;
    int mode_ = 0;
    uint64_t size_ = 0;
    uint64_t start_ = 0;
    uint64_t position_ = 0;
};

}  // namespace lumetta::audio
