#pragma once

// Collects shell-task events and runs the default main context until a condition holds.

#include <glib.h>

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

}  // namespace lumetta::test
