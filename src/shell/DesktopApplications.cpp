#include "shell/DesktopApplications.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <string>

#include "base/raii/UniqueFd.h"

namespace lumetta::shell {

namespace {

std::optional<std::string> readProcFile(pid_t pid, const char* name) {
    std::string path = "/proc/" + std::to_string(pid) + "/" + name;
    raii::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string content;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        content.append(buffer, static_cast<size_t>(n));
    }
    return content;
}

bool isSystemAccount(uid_t uid) {
    return uid < kFirstPersonUid || uid == 65534;
}

// Walks the parent chain from `from` and reports whether it passes `target`.
bool chainContains(pid_t from, pid_t target, ProcessTable& table) {
    pid_t current = from;
    for (int steps = 0; steps < 4096 && current > 1; ++steps) {
        if (current == target) return true;
        auto info = table.find(current);
        if (!info) return false;
        current = info->parent;
    }
    return current == target;
}

}  // namespace

std::optional<ProcessInfo> ProcTable::find(pid_t pid) {
    if (pid <= 0) return std::nullopt;
    auto status = readProcFile(pid, "status");
    if (!status) return std::nullopt;
    ProcessInfo info;
    info.pid = pid;
    bool haveUid = false;
    std::istringstream lines(*status);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("PPid:", 0) == 0) {
            info.parent = static_cast<pid_t>(std::strtol(line.c_str() + 5, nullptr, 10));
        } else if (line.rfind("Uid:", 0) == 0) {
            info.uid = static_cast<uid_t>(std::strtoul(line.c_str() + 4, nullptr, 10));
            haveUid = true;
        } else if (line.rfind("State:", 0) == 0) {
            info.zombie =
                line.find('Z') != std::string::npos || line.find('X') != std::string::npos;
        }
    }
    if (!haveUid) return std::nullopt;
    auto cmdline = readProcFile(pid, "cmdline");
    info.userSpace = cmdline && !cmdline->empty();
    if (auto envText = readProcFile(pid, "environ")) {
        std::istringstream vars(*envText);
        std::string var;
        while (std::getline(vars, var, '\0')) {
            if ((var.rfind("DISPLAY=", 0) == 0 && var.size() > 8) ||
                (var.rfind("WAYLAND_DISPLAY=", 0) == 0 && var.size() > 16)) {
                info.graphical = true;
                break;
            }
        }
    }
    return info;
}

bool isDesktopApplication(pid_t pid, ProcessTable& table, pid_t self, uid_t user) {
    if (pid <= 1 || pid == self) return false;
    if (isSystemAccount(user)) return false;
    auto info = table.find(pid);
    if (!info || !info->userSpace || info->zombie || !info->graphical) return false;
    if (info->uid != user) return false;
    if (chainContains(pid, self, table)) return false;  // ours: a shell task or its child
    if (chainContains(self, pid, table)) return false;  // the session or terminal we run in
    return true;
}

TerminateOutcome terminateApplication(pid_t pid) {
    if (pid <= 1) return TerminateOutcome::notAnApplication;
    // Hold the process first, then check it: the pidfd keeps naming this very process even
    // if its id is reused in between.
    raii::UniqueFd handle(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (!handle && errno == ESRCH) return TerminateOutcome::gone;
    ProcTable table;
    if (!isDesktopApplication(pid, table, getpid(), getuid()))
        return TerminateOutcome::notAnApplication;
    int sent =
        handle ? static_cast<int>(syscall(SYS_pidfd_send_signal, handle.get(), SIGTERM, nullptr, 0))
               : kill(pid, SIGTERM);
    return sent == 0 ? TerminateOutcome::signalled : TerminateOutcome::gone;
}

}  // namespace lumetta::shell
