#include "base/StartupTrace.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>

namespace lumetta::base {

bool startupTraceEnabled() {
    static const bool enabled = std::getenv("LUMETTA_STARTUP_TRACE") != nullptr;
    return enabled;
}

void startupMilestone(std::string_view milestone) {
    if (!startupTraceEnabled()) return;
    static std::mutex lock;
    static std::set<std::string, std::less<>> reached;
    std::lock_guard guard(lock);
    if (!reached.emplace(milestone).second) return;
    std::fprintf(stderr, "lumetta: startup: %.*s\n", static_cast<int>(milestone.size()),
                 milestone.data());
    std::fflush(stderr);
}

}  // namespace lumetta::base
