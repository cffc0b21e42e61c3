#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "base/Scheduling.h"

namespace {

struct Observed {
    bool taken = false;
    int policy = -1;
    int nice = 0;
    uint64_t slice = 0;  // 0 when the kernel does not report one
};

// Reads back the calling thread's policy, nice value and fair-class slice.
void readBack(Observed& seen) {
    seen.policy = sched_getscheduler(0);
    seen.nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    uint64_t attr[7] = {};  // struct sched_attr, first layout: 48 bytes
    if (syscall(SYS_sched_getattr, 0, attr, sizeof attr, 0) == 0) seen.slice = attr[3];
}

// Runs `prepare` and the request on a thread of its own, so the test runner keeps its own
// scheduling.
Observed requestOnThread(const std::function<void()>& prepare) {
    Observed seen;
    std::thread([&] {
        prepare();
        seen.taken = lumetta::base::requestShortTimeSlice();
        readBack(seen);
    }).join();
    return seen;
}

}  // namespace

TEST(Scheduling, ShortSliceKeepsPolicyAndNiceValue) {
    Observed seen = requestOnThread([] {
        // A thread started at a lower priority stays there: the request must not reset it.
        ASSERT_EQ(setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 7), 0);
    });
    EXPECT_EQ(seen.policy, SCHED_OTHER);
    EXPECT_EQ(seen.nice, 7);
    if (!seen.taken) GTEST_SKIP() << "this kernel sets no custom slices";
    EXPECT_EQ(seen.slice, 200'000u);
}

TEST(Scheduling, ThreadWithAChosenPolicyIsLeftAlone) {
    Observed seen = requestOnThread([] {
        sched_param param{};
        ASSERT_EQ(sched_setscheduler(0, SCHED_BATCH, &param), 0);
    });
    EXPECT_FALSE(seen.taken);
    EXPECT_EQ(seen.policy, SCHED_BATCH);
}
