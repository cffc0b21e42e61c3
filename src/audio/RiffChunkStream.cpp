#include "audio/RiffChunkStream.h"

#include <cstring>

namespace lumetta::audio {

RiffChunkStream::~RiffChunkStream() {
    close();
}

bool RiffChunkStream::openRead(const char* id) {
    if (mode_ != 0 || id == nullptr) return false;
    mode_ = 1;
    for (;;) {
        unsigned char header[8];
        if (parent_->read(header, 8) < 8) break;
        uint64_t chunkSize =
            static_cast<uint64_t>(header[4]) | static_cast<uint64_t>(header[5]) << 8 |
            static_cast<uint64_t>(header[6]) << 16 | static_cast<uint64_t>(header[7]) << 24;
        if (std::memcmp(header, id, 4) == 0) {
            start_ = parent_->position();
            // Never trust a size past the end of what holds the chunk: truncated files and
            // writers that never patched the size would make readers run off the end.
            uint64_t available = parent_->size() > start_ ? parent_->size() - start_ : 0;
            size_ = chunkSize < available ? chunkSize : available;
            position_ = 0;
            return true;
        }
        uint64_t distance = chunkSize + (chunkSize & 1);
        uint64_t here = parent_->position();
        if (here + distance > parent_->size() || !parent_->skip(static_cast<int64_t>(distance)))
            break;
    }
    mode_ = 0;
    return false;
}

void RiffChunkStream::close() {
    if (mode_ == 1) {
        uint64_t end = start_ + size_ + (size_ & 1);
        if (end > parent_->size()) end = parent_->size();
        parent_->seek(end);
    }
    mode_ = 0;
    size_ = 0;
    start_ = 0;
    position_ = 0;
}

bool RiffChunkStream::seek(uint64_t offset) {
    if (mode_ == 0 || offset > size_) return false;
    if (!parent_->seek(start_ + offset)) return false;
    position_ = offset;
    return true;
}

bool RiffChunkStream::skip(int64_t distance) {
    if (distance < 0 && static_cast<uint64_t>(-(distance + 1)) + 1 > position_) return false;
    return seek(position_ + static_cast<uint64_t>(distance));
}

uint64_t RiffChunkStream::read(void* buffer, uint64_t count) {
    if (mode_ == 0 || position_ >= size_) return 0;
    uint64_t want = count < size_ - position_ ? count : size_ - position_;
    // Another reader of the same parent may have moved it; always read from our own offset.
    if (parent_->position() != start_ + position_ && !parent_->seek(start_ + position_)) return 0;
    uint64_t got = parent_->read(buffer, want);
    position_ += got;
    return got;
}

}  // namespace lumetta::audio
