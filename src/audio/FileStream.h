#pragma once

#include <cstdint>

#include "audio/DataStream.h"
#include "base/raii/UniqueFd.h"

namespace lumetta::audio {

/// A DataStream over a file opened for reading. Owns the descriptor and closes it.
class FileStream : public DataStream {
  public:
    FileStream();
    ~FileStream() override;
    FileStream(const FileStream&) = delete;
    FileStream& operator=(const FileStream&) = delete;

    /// Opens `path` (UTF-8) for reading; false when already open or the file cannot be opened.
    bool openRead(const char* path);
    /// Closes the file; harmless when closed.
    void close();
    /// 0 closed, 1 open for reading.
    int mode() const { return mode_; }

    uint64_t size() const override { return size_; }
    uint64_t position() const override { return position_; }
    bool seek(uint64_t offset) override;
    bool skip(int64_t distance) override;
    uint64_t read(void* buffer, uint64_t count) override;

  private:
    raii::UniqueFd fd_;
    int mode_ = 0;
    uint64_t size_ = 0;
    uint64_t position_ = 0;
};

}  // namespace lumetta::audio
