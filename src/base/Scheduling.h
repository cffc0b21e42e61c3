#pragma once

// Scheduling for threads that wait most of the time and must answer quickly when woken (the
// MIDI receive thread, the main thread that hands events to the page).

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace lumetta::base {

namespace detail {
// The kernel's struct sched_attr, first published layout.
struct SchedAttr {
    uint32_t size;
    uint32_t policy;
    uint64_t flags;
    int32_t nice;
    uint32_t priority;
    uint64_t runtime;  // for the fair class: the slice, in nanoseconds; 0 for the default
    uint64_t deadline;
    uint64_t period;
};
static_assert(sizeof(SchedAttr) == 48);

// Sets the calling thread's fair-class slice, keeping its nice value; only for threads of the
// ordinary policy. Only system calls: safe in a child between fork and exec.
inline bool setFairSlice(uint64_t sliceNs) {
    constexpr uint32_t kSchedOther = 0;
    if (sched_getscheduler(0) != SCHED_OTHER) return false;  // someone chose a policy already
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    if (errno != 0) return false;
    SchedAttr attr{sizeof(SchedAttr), kSchedOther, 0, nice, 0, sliceNs, 0, 0};
    return syscall(SYS_sched_setattr, 0, &attr, 0) == 0;
}
}  // namespace detail

/// Asks the kernel for a short time slice for the calling thread, at its current nice value
/// and policy class. The fair scheduler then lets the thread preempt a busy neighbour as soon
/// as it wakes instead of after that neighbour's slice (several milliseconds), while its share
/// of the processor stays what it was. Needs no privilege; kernels without custom slices
/// ignore or refuse the request, and the thread keeps its default. Threads and processes the
/// thread starts afterwards inherit the slice. Returns whether the kernel took it.
inline bool requestShortTimeSlice() {
    return detail::setFairSlice(200'000);
}

/// Gives the calling thread the kernel's default slice again (for a process we start that
/// should not inherit ours).
inline bool restoreDefaultTimeSlice() {
    return detail::setFairSlice(0);
}

}  // namespace lumetta::base
