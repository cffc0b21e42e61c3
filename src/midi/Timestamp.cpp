#include "midi/Timestamp.h"

#include <time.h>

namespace lumetta::midi {

namespace {

struct TimeBase {
    uint64_t numerator;
    uint64_t denominator;
};

// Host time is already in nanoseconds, so the base is 1/1; it stays a ratio so that a clock
// with another unit only changes this one place. A function-local static is thread-safe.
const TimeBase& timeBase() {
    static const TimeBase base{1, 1};
    return base;
}

}  // namespace

uint64_t current_host_time() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000ULL + static_cast<uint64_t>(now.tv_nsec);
}

uint64_t host_timestamp_to_millis(uint64_t hostTime) {
    const TimeBase& base = timeBase();
    return hostTime * base.numerator / base.denominator / 1000000ULL;
}

uint64_t current_millis_timestamp() {
    return host_timestamp_to_millis(current_host_time());
}

}  // namespace lumetta::midi
