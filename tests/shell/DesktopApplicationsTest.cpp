#include <gtest/gtest.h>
#include <unistd.h>

#include <map>

#include "shell/DesktopApplications.h"

namespace lumetta::shell {
namespace {

class Table final : public ProcessTable {
  public:
    std::optional<ProcessInfo> find(pid_t pid) override {
        auto it = processes.find(pid);
        return it == processes.end() ? std::nullopt : std::optional(it->second);
    }
    void add(pid_t pid, pid_t parent, uid_t uid, bool graphical = true) {
        processes[pid] = ProcessInfo{pid, parent, uid, true, false, graphical};
    }
    std::map<pid_t, ProcessInfo> processes;
};

constexpr uid_t kUser = 1000;
constexpr pid_t kSelf = 500;

// session(100) -> terminal(200) -> lumetta(500) -> sh task(600) -> its child(601);
// session(100) -> editor(300); root daemon(50); another user's app(400).
Table desktop() {
    Table t;
    t.add(1, 0, 0, false);
    t.add(50, 1, 0);
    t.add(100, 1, kUser);
    t.add(200, 100, kUser);
    t.add(500, 200, kUser);
    t.add(600, 500, kUser);
    t.add(601, 600, kUser);
    t.add(300, 100, kUser);
    t.add(400, 1, 1001);
    t.add(700, 100, kUser, false);
    return t;
}

TEST(DesktopApplications, AnotherGraphicalProgramOfTheUserCounts) {
    auto t = desktop();
    EXPECT_TRUE(isDesktopApplication(300, t, kSelf, kUser));
}

TEST(DesktopApplications, ShellTasksAndWhatTheyStartNeverCount) {
    auto t = desktop();
    EXPECT_FALSE(isDesktopApplication(600, t, kSelf, kUser));
    EXPECT_FALSE(isDesktopApplication(601, t, kSelf, kUser));
}

TEST(DesktopApplications, ThisApplicationAndWhatItRunsInNeverCount) {
    auto t = desktop();
    EXPECT_FALSE(isDesktopApplication(kSelf, t, kSelf, kUser));
    EXPECT_FALSE(isDesktopApplication(200, t, kSelf, kUser));
    EXPECT_FALSE(isDesktopApplication(100, t, kSelf, kUser));
}

TEST(DesktopApplications, OtherUsersSystemProcessesAndNonGraphicalOnesNeverCount) {
    auto t = desktop();
    EXPECT_FALSE(isDesktopApplication(400, t, kSelf, kUser));
    EXPECT_FALSE(isDesktopApplication(50, t, kSelf, kUser));
    EXPECT_FALSE(isDesktopApplication(1, t, kSelf, kUser));
    EXPECT_FALSE(isDesktopApplication(700, t, kSelf, kUser));
    EXPECT_FALSE(isDesktopApplication(999, t, kSelf, kUser));
    // Running as root (or any system account), nothing is ever touched.
    auto rootTable = desktop();
    rootTable.add(300, 100, 0);
    EXPECT_FALSE(isDesktopApplication(300, rootTable, kSelf, 0));
}

TEST(DesktopApplications, ZombiesAndKernelThreadsNeverCount) {
    auto t = desktop();
    t.processes[300].zombie = true;
    EXPECT_FALSE(isDesktopApplication(300, t, kSelf, kUser));
    t.processes[300].zombie = false;
    t.processes[300].userSpace = false;
    EXPECT_FALSE(isDesktopApplication(300, t, kSelf, kUser));
}

TEST(ProcTable, ReadsThisProcess) {
    ProcTable table;
    auto me = table.find(getpid());
    ASSERT_TRUE(me);
    EXPECT_EQ(me->uid, getuid());
    EXPECT_EQ(me->parent, getppid());
    EXPECT_TRUE(me->userSpace);
    EXPECT_FALSE(me->zombie);
    EXPECT_FALSE(table.find(-5));
}

TEST(TerminateApplication, NeverSignalsThisProcessOrProcessOne) {
    EXPECT_EQ(terminateApplication(getpid()), TerminateOutcome::notAnApplication);
    EXPECT_EQ(terminateApplication(1), TerminateOutcome::notAnApplication);
    EXPECT_EQ(terminateApplication(0), TerminateOutcome::notAnApplication);
}

}  // namespace
}  // namespace lumetta::shell
