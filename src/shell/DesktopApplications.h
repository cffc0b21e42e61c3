#pragma once

// Which processes count as the user's desktop applications, and asking one of them to quit.
//
// A process is a desktop application when all of these hold:
//  - it is not process 1 and not this application;
//  - it is a live user-space process (not a kernel thread, not a zombie);
//  - it belongs to the current user (real uid), and that user is not a system account
//    (uid below 1000, or nobody), so nothing of root or a service is ever touched;
//  - it is not a descendant of this application (so neither our shell tasks nor anything they
//    started) and not one of our ancestors (the session, launcher or terminal we run in);
//  - it is connected to the graphical session: its environment names DISPLAY or
//    WAYLAND_DISPLAY.
// The request to quit is SIGTERM, sent through a pidfd so a recycled process id never
// receives it.

#include <sys/types.h>

#include <optional>

namespace lumetta::shell {

/// What the rule needs to know about one process.
struct ProcessInfo {
    pid_t pid = 0;
    pid_t parent = 0;
    uid_t uid = 0;           ///< real user id
    bool userSpace = false;  ///< has a command line (kernel threads have none)
    bool zombie = false;
    bool graphical = false;  ///< its environment has DISPLAY or WAYLAND_DISPLAY
};

/// Looks processes up; the Linux one reads /proc, tests give their own table.
class ProcessTable {
  public:
    virtual ~ProcessTable() = default;
    /// The process, or nullopt when it does not exist or cannot be read. Any thread.
    virtual std::optional<ProcessInfo> find(pid_t pid) = 0;
};

/// Reads /proc/PID/{status,cmdline,environ}.
class ProcTable final : public ProcessTable {
  public:
    std::optional<ProcessInfo> find(pid_t pid) override;
};

/// Lowest uid of a person's account (Debian's UID_MIN).
inline constexpr uid_t kFirstPersonUid = 1000;

/// The rule above, for the process `pid` as seen by the process `self` running as `user`.
bool isDesktopApplication(pid_t pid, ProcessTable& table, pid_t self, uid_t user);

/// What terminateApplication did.
enum class TerminateOutcome { signalled, notAnApplication, gone };

/// Sends SIGTERM to `pid` when it is a desktop application of this user (the rule, checked
/// against /proc with this process's own pid and uid). Any thread.
TerminateOutcome terminateApplication(pid_t pid);

}  // namespace lumetta::shell
