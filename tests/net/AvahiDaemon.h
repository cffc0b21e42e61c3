#pragma once

// Helpers for tests that run inside the private network namespace of run-in-netns.sh: the
// avahi-daemon there, and services announced with avahi-publish.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace lumetta::test::avahi {

inline constexpr const char* kPidFile = "/run/avahi-daemon/pid";

/// True inside the namespace that run-in-netns.sh made.
inline bool inPrivateNamespace() {
    return std::getenv("LUMETTA_NETNS") != nullptr;
}

inline pid_t spawn(std::vector<std::string> argv) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

inline int runCommand(std::vector<std::string> argv) {
    pid_t pid = spawn(std::move(argv));
    if (pid < 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// Calls `step` until `done` holds; false after the hang guard.
template <class Done, class Step>
bool waitUntil(Done done, Step step, std::chrono::seconds guard) {
    auto end = std::chrono::steady_clock::now() + guard;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        step();
    }
    return true;
}

inline void pause() {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

inline bool daemonRunning() {
    return runCommand({"avahi-daemon", "-c"}) == 0;
}

/// Starts the namespace's avahi-daemon with the configuration the runner wrote.
inline bool startDaemon() {
    const char* conf = std::getenv("LUMETTA_AVAHI_CONF");
    if (runCommand({"avahi-daemon", "-f", conf ? conf : "/dev/null", "--no-drop-root",
                    "--no-chroot", "-D"}) != 0)
        return false;
    return waitUntil(daemonRunning, pause, std::chrono::seconds(20));
}

/// Stops the daemon with SIGTERM, the way a service manager does; `step` runs while waiting.
template <class Step>
bool stopDaemon(Step step) {
    std::ifstream pidFile(kPidFile);
    pid_t pid = 0;
    if (!(pidFile >> pid) || pid <= 0) return false;
    kill(pid, SIGTERM);
    return waitUntil([] { return access(kPidFile, F_OK) != 0; }, step, std::chrono::seconds(20));
}

/// One avahi-publish child announcing a service until destroyed.
class Publication {
  public:
    Publication(const std::string& name, const std::string& type, int port)
        : pid_(spawn({"avahi-publish", "-s", name, type, std::to_string(port)})) {}
    ~Publication() { withdraw(); }
    Publication(const Publication&) = delete;
    Publication& operator=(const Publication&) = delete;
    void withdraw() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    bool running() const { return pid_ > 0; }

  private:
    pid_t pid_;
};

}  // namespace lumetta::test::avahi
