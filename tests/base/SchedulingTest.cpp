#include <gtest/gtest.h>
#include <sys/wait.h>

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

// The application asks once, first thing, and relies on every later thread and helper process
// (the web engine's) starting with the same slice.
TEST(Scheduling, LaterThreadsAndChildProcessesInheritTheSlice) {
    Observed requester, thread;
    uint64_t childSlice = 0;
    std::thread([&] {
        requester.taken = lumetta::base::requestShortTimeSlice();
        std::thread([&] { readBack(thread); }).join();
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            Observed seen;
            readBack(seen);
            ssize_t written = write(fds[1], &seen.slice, sizeof seen.slice);
            _exit(written == sizeof seen.slice ? 0 : 1);
        }
        close(fds[1]);
        EXPECT_EQ(read(fds[0], &childSlice, sizeof childSlice),
                  static_cast<ssize_t>(sizeof childSlice));
        close(fds[0]);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }).join();
    if (!requester.taken) GTEST_SKIP() << "this kernel sets no custom slices";
    EXPECT_EQ(thread.slice, 200'000u);
    EXPECT_EQ(childSlice, 200'000u);
}

TEST(Scheduling, DefaultSliceCanBeRestored) {
    Observed before, restored;
    bool taken = false;
    std::thread([&] {
        readBack(before);
        taken = lumetta::base::requestShortTimeSlice();
        EXPECT_EQ(lumetta::base::restoreDefaultTimeSlice(), taken);
        readBack(restored);
    }).join();
    if (!taken) GTEST_SKIP() << "this kernel sets no custom slices";
    EXPECT_EQ(restored.slice, before.slice);
    EXPECT_NE(restored.slice, 200'000u);
}
