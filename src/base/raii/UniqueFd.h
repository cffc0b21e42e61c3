#pragma once

// Owner of a POSIX file descriptor. Platform-free: pure logic may use it without GLib.

#include <unistd.h>

#include <utility>

namespace lumetta::raii {

/// Owns one file descriptor and closes it exactly once, when destroyed or reset. Movable, not
/// copyable; a moved-from owner holds nothing.
class UniqueFd {
  public:
    UniqueFd() = default;
    /// Takes ownership of `fd` (a negative value means none).
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    /// The descriptor, still owned; -1 when none.
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    /// Gives up ownership without closing and returns the descriptor.
    int release() { return std::exchange(fd_, -1); }
    /// Closes the descriptor held, if any, and takes `fd` instead.
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    /// Closes now and reports the result of close(2); 0 when there was nothing to close. For
    /// writes whose last error only close() reports.
    int close() {
        if (fd_ < 0) return 0;
        return ::close(std::exchange(fd_, -1));
    }

  private:
    int fd_ = -1;
};

}  // namespace lumetta::raii
