#include "audio/FileStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace lumetta::audio {

FileStream::FileStream() = default;

FileStream::~FileStream() {
    close();
}

bool FileStream::openRead(const char* path) {
    if (mode_ != 0 || path == nullptr) return false;
    // Never waits in the open: a pipe without a writer would stop the calling (main) thread.
    raii::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) return false;
    struct stat st {};
    // Directories and devices open fine but are no WAV files; only regular files are sized.
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    fd_ = std::move(fd);
    size_ = static_cast<uint64_t>(st.st_size);
    position_ = 0;
    mode_ = 1;
    return true;
}

void FileStream::close() {
    fd_.reset();
    mode_ = 0;
    size_ = 0;
    position_ = 0;
}

bool FileStream::seek(uint64_t offset) {
    if (mode_ == 0 || offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max()))
        return false;
    off_t at = ::lseek(fd_.get(), static_cast<off_t>(offset), SEEK_SET);
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
        ssize_t got = ::read(fd_.get(), out + done, static_cast<size_t>(want));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<uint64_t>(got);
    }
    position_ += done;
    return done;
}

}  // namespace lumetta::audio
