#pragma once

// Collects shell-task events and runs the default main context until a condition holds.

#include <fcntl.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "bridge/BridgeText.h"

namespace lumetta::test {

/// One decoded "sh" "stdout" event.
struct ShellEvent {
    std::string pid;
    std::string text;
};

inline ShellEvent decodeShellEvent(const std::string& event) {
    auto fields = bridge::splitFields(event, '\f');
    ShellEvent out;
    if (fields.size() >= 4 && fields[0] == "sh" && fields[1] == "stdout") {
        out.pid = std::string(fields[2]);
        // The text is the rest: it may itself hold form feeds.
        out.text = event.substr(static_cast<size_t>(fields[3].data() - event.data()));
    }
    return out;
}

/// Iterates the default main context until `done` or the time is up; true when done.
inline bool runUntil(const std::function<bool()>& done,
                     std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        g_main_context_iteration(nullptr, FALSE);
        if (!done()) g_usleep(1000);
    }
    return true;
}

/// A point where a shell command waits until the test lets it on: orders what the command does
/// against what the test sees, where a `sleep` would only guess how fast the machine is.
class ShellGate {
  public:
    ShellGate() {
        gchar* dir = g_dir_make_tmp("lumetta-gate-XXXXXX", nullptr);
        if (dir) {
            dir_ = dir;
            g_free(dir);
            path_ = dir_ + "/gate";
            ::mkfifo(path_.c_str(), 0600);
        }
    }
    ~ShellGate() {
        g_remove(path_.c_str());
        g_rmdir(dir_.c_str());
    }
    ShellGate(const ShellGate&) = delete;
    ShellGate& operator=(const ShellGate&) = delete;

    /// Shell words that block until `open`.
    std::string waitHere() const { return "read gate < '" + path_ + "'"; }

    /// Lets the command waiting at the gate on, running the main context meanwhile; false when
    /// none came to it.
    bool open() {
        int fd = -1;
        runUntil([&] {
            // Succeeds only once the shell has the other end open, i.e. waits at the gate.
            fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            return fd >= 0;
        });
        if (fd < 0) return false;
        const bool written = ::write(fd, "\n", 1) == 1;
        ::close(fd);
        return written;
    }

  private:
    std::string dir_;
    std::string path_;
};

}  // namespace lumetta::test
