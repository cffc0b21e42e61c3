#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "modules/midi/MidiBridge.h"

namespace lumetta::modules::midi {

namespace {

// The first executable `name` on PATH, or empty.
std::string findOnPath(std::string_view name) {
    const char* path = std::getenv("PATH");
    std::string_view dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (!dirs.empty()) {
        const size_t colon = dirs.find(':');
        std::string_view dir = dirs.substr(0, colon);
        dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
        if (dir.empty()) continue;
        std::string candidate = std::string(dir) + "/" + std::string(name);
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

}  // namespace

bool openConnectionTool() {
    static constexpr std::string_view tools[] = {"qpwgraph", "helvum", "qjackctl", "patchage"};
    for (std::string_view tool : tools) {
        const std::string program = findOnPath(tool);
        if (program.empty()) continue;
        std::string argument0(tool);
        char* argv[] = {argument0.data(), nullptr};
        // Two forks, so the tool is no child of ours and leaves no zombie; between fork and
        // exec only async-signal-safe calls.
        const pid_t child = ::fork();
        if (child < 0) return false;
        if (child == 0) {
            ::setsid();
            const pid_t grandchild = ::fork();
            if (grandchild == 0) {
                ::execv(program.c_str(), argv);
                ::_exit(127);
            }
            ::_exit(grandchild < 0 ? 1 : 0);
        }
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        syslog(LOG_INFO, "MIDI: opened %s", program.c_str());
        return true;
    }
    return false;
}

}  // namespace lumetta::modules::midi
