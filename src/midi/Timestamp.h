#pragma once

// The time base of the MIDI paths: host time is the monotonic clock in nanoseconds, and the
// page sees whole milliseconds of it.

#include <cstdint>

namespace lumetta::midi {

/// The current host time (monotonic clock, nanoseconds). Any thread.
uint64_t current_host_time();

/// Host time to whole milliseconds: host units to nanoseconds, then milliseconds, in integer
/// arithmetic. Any thread.
uint64_t host_timestamp_to_millis(uint64_t hostTime);

/// host_timestamp_to_millis of the current host time. Any thread.
uint64_t current_millis_timestamp();

}  // namespace lumetta::midi
