#include "audio/FileStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace lumetta::audio {

struct FileStream::Handle {
    int fd = -1;
    ~Handle() {
        if (fd >= 0) ::close(fd);
    }
};

FileStream::FileStream() = default;

FileStream::~FileStream() {
    close();
}

bool FileStream::openRead(const char* path) {
    if (mode_ != 0 || path == nullptr) return false;
    // Never waits in the open: a pipe without a writer would stop the calling (main) thread.
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    auto handle = std::make_unique<Handle>();
    handle->fd = fd;
    struct stat st {};
    // Directories and devices open fine but are no WAV files; only regular files are sized.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    handle_ = std::move(handle);
    size_ = static_cast<uint64_t>(st.st_size);
    position_ = 0;
    mode_ = 1;
    return true;
}

void FileStream::close() {
    handle_.reset();
    mode_ = 0;
    size_ = 0;
    position_ = 0;
}

bool FileStream::seek(uint64_t offset) {
    if (mode_ == 0 || offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max()))
        return false;
    off_t at = ::lseek(handle_->fd, static_cast<off_t>(offset), SEEK_SET);
    if (at < 0) return false;
    position_ = static_cast<uint64_t>(at);
    return true;
}

bool FileStream::skip(int64_t distance) {
    if (mode_ == 0) return false;
    if (distance < 0 && static_cast<uint64_t>(-(distance + 1)) + 1 > position_) return false;
    if (distance > 0 && position_ + static_cast<uint64_t>(distance) < position_) return false;
    return seek(position_ + static_cast<uint64_t>(distance));
}

uint64_t FileStream::read(void* buffer, uint64_t count) {
    if (mode_ == 0 || buffer == nullptr) return 0;
    auto* out = static_cast<unsigned char*>(buffer);
    uint64_t done = 0;
    while (done < count) {
        uint64_t want = count - done;
        if (want > (1u << 30)) want = 1u << 30;
        ssize_t got = ::read(handle_->fd, out + done, static_cast<size_t>(want));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<uint64_t>(got);
    }
    position_ += done;
    return done;
}

}  // namespace lumetta::audio
