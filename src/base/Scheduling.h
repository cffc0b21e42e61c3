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

/// Asks the kernel for a short time slice for the calling thread, at its current nice value
/// and policy class. The fair scheduler then lets the thread preempt a busy neighbour as soon
/// as it wakes instead of after that neighbour's slice (several milliseconds), while its share
/// of the processor stays what it was. Needs no privilege; kernels without custom slices
/// ignore or refuse the request, and the thread keeps its default. Threads and processes the
/// thread starts afterwards inherit the slice. Returns whether the kernel took it.
inline bool requestShortTimeSlice() {
    // The kernel's struct sched_attr, first published layout.
    struct Attr {
        uint32_t size;
        uint32_t policy;
        uint64_t flags;
        int32_t nice;
        uint32_t priority;
        uint64_t runtime;  // for the fair class: the slice, in nanoseconds
        uint64_t deadline;
        uint64_t period;
    };
    static_assert(sizeof(Attr) == 48);
    constexpr uint32_t kSchedOther = 0;
    constexpr uint64_t kSliceNs = 200'000;
    if (sched_getscheduler(0) != SCHED_OTHER) return false;  // someone chose a policy already
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    if (errno != 0) return false;
    Attr attr{sizeof(Attr), kSchedOther, 0, nice, 0, kSliceNs, 0, 0};
    return syscall(SYS_sched_setattr, 0, &attr, 0) == 0;
}

}  // namespace lumetta::base
