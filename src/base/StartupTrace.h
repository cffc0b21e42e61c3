#pragma once

// Start-up milestones for the start-up benchmark. With LUMETTA_STARTUP_TRACE set in the
// environment, the first time each milestone is reached one line
// "lumetta: startup: <milestone>" goes to stderr, flushed at once, so a parent reading the pipe
// timestamps it on arrival. Without the variable nothing is printed. Any thread.

#include <string_view>

namespace lumetta::base {

/// Whether start-up milestones are printed (LUMETTA_STARTUP_TRACE is set).
bool startupTraceEnabled();
/// Prints the milestone the first time it is reached, when tracing is on.
void startupMilestone(std::string_view milestone);

}  // namespace lumetta::base
