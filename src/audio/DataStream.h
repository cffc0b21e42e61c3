#pragma once

// The byte-stream interface the WAV reader is built from.

#include <cstdint>

namespace lumetta::audio {

/// An abstract readable byte stream with random access. Single-threaded: one owner uses it.
class DataStream {
  public:
    virtual ~DataStream() = default;
    /// Byte count of the stream.
    virtual uint64_t size() const = 0;
    /// Offset of the next byte read.
    virtual uint64_t position() const = 0;
    /// Moves to an absolute offset; false when the stream cannot stand there.
    virtual bool seek(uint64_t offset) = 0;
    /// Moves by `distance` from the current offset.
    virtual bool skip(int64_t distance) = 0;
    /// Reads up to `count` bytes into `buffer`; the number read (fewer at the end).
    virtual uint64_t read(void* buffer, uint64_t count) = 0;
};

}  // namespace lumetta::audio
