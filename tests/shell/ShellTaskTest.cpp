#include <gtest/gtest.h>
#include <sys/wait.h>

#include <map>

#include "shell/ShellLoop.h"
#include "shell/ShellTask.h"

namespace lumetta::shell {
namespace {

using test::decodeShellEvent;
using test::runUntil;

// The events of several tasks, by process id, and which tasks have finished.
struct Collector {
    std::map<std::string, std::vector<std::string>> texts;
    std::map<std::string, bool> finished;
    std::vector<std::string> order;

    ShellTask::Post post() {
        return [this](std::string event) {
            auto e = decodeShellEvent(event);
            ASSERT_FALSE(e.pid.empty()) << "not an sh stdout event: " << event;
            ASSERT_FALSE(finished[e.pid]) << "an event after the last one";
            if (e.text.empty())
                finished[e.pid] = true;
            else
                texts[e.pid].push_back(e.text);
            order.push_back(e.pid);
        };
    }
    std::string all(pid_t pid) {
        std::string out;
        for (auto& t : texts[std::to_string(pid)]) out += t;
        return out;
    }
    bool done(pid_t pid) { return finished[std::to_string(pid)]; }
};

pid_t start(const std::string& line, Collector& collector) {
    auto launched = ShellTask::launch(line, collector.post());
    EXPECT_GT(launched.pid, 0) << launched.error;
    return launched.pid;
}

TEST(ShellTask, EchoStreamsItsOutputThenAnEmptyText) {
    Collector c;
    pid_t pid = start("echo hello", c);
    ASSERT_TRUE(runUntil([&] { return c.done(pid); }));
    EXPECT_EQ(c.all(pid), "hello\n");
    EXPECT_EQ(c.order.back(), std::to_string(pid));
}

TEST(ShellTask, ACommandWithoutOutputStillEndsWithTheEmptyText) {
    Collector c;
    pid_t pid = start("true", c);
    ASSERT_TRUE(runUntil([&] { return c.done(pid); }));
    EXPECT_TRUE(c.texts[std::to_string(pid)].empty());
}

TEST(ShellTask, TwoTasksAtOnceKeepTheirOwnIdsAndOutput) {
    Collector c;
    pid_t slow = start("sleep 0.3; echo one", c);
    pid_t fast = start("echo two", c);
    EXPECT_NE(slow, fast);
    ASSERT_TRUE(runUntil([&] { return c.done(slow) && c.done(fast); }));
    EXPECT_EQ(c.all(slow), "one\n");
    EXPECT_EQ(c.all(fast), "two\n");
}

TEST(ShellTask, ACharacterSplitBetweenWritesIsNeverBroken) {
    Collector c;
    // The first write ends inside the two bytes of é, the rest follows later.
    pid_t pid = start(
        "printf 'caf\\303'; sleep 0.3; printf '\\251 \\342\\202'; sleep 0.3; printf '\\254\\n'", c);
    ASSERT_TRUE(runUntil([&] { return c.done(pid); }));
    EXPECT_EQ(c.all(pid), "caf\xC3\xA9 \xE2\x82\xAC\n");
    for (auto& text : c.texts[std::to_string(pid)]) EXPECT_TRUE(bridge::isValidUtf8(text)) << text;
    EXPECT_GE(c.texts[std::to_string(pid)].size(), 2u)
        << "the writes should have come as separate reads";
}

TEST(ShellTask, LargeOutputArrivesCompleteAndInOrder) {
    Collector c;
    pid_t pid = start("seq 1 200000", c);
    ASSERT_TRUE(runUntil([&] { return c.done(pid); }));
    std::string expected;
    for (int i = 1; i <= 200000; ++i) expected += std::to_string(i) + "\n";
    EXPECT_EQ(c.all(pid).size(), expected.size());
    EXPECT_TRUE(c.all(pid) == expected);
    EXPECT_GT(c.texts[std::to_string(pid)].size(), 1u);
}

TEST(ShellTask, TheChildIsReapedSoNoZombieIsLeft) {
    Collector c;
    pid_t pid = start("exit 3", c);
    ASSERT_TRUE(runUntil([&] { return c.done(pid); }));
    int status = 0;
    errno = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD) << "the process was not reaped";
}

TEST(ShellTask, OutputOfABackgroundJobStillBelongsToTheTask) {
    Collector c;
    pid_t pid = start("(sleep 0.3; echo late) & echo early", c);
    ASSERT_TRUE(runUntil([&] { return c.done(pid); }));
    EXPECT_EQ(c.all(pid), "early\nlate\n");
}

TEST(ShellTask, AnEventThatCannotBePostedIsDroppedAndTheTaskStillEnds) {
    const int before = ShellTask::alive();
    int attempts = 0;
    auto launched = ShellTask::launch("echo one; sleep 0.1; echo two", [&](std::string) {
        ++attempts;
        throw std::runtime_error("no memory for the event");
    });
    ASSERT_GT(launched.pid, 0);
    EXPECT_TRUE(runUntil([&] { return ShellTask::alive() == before; }))
        << "the task released itself";
    EXPECT_GE(attempts, 2) << "later events were still tried";
}

TEST(ShellTask, CommandLineJoinsWordsWithSpaces) {
    using nlohmann::json;
    EXPECT_EQ(ShellTask::commandLine(json::parse(R"(["echo","hello world",42])")),
              "echo hello world 42");
    EXPECT_EQ(ShellTask::commandLine(json::parse(R"(["ls", 2.0, 1.5])")), "ls 2 1.5");
    EXPECT_FALSE(ShellTask::commandLine(json::array()));
    EXPECT_FALSE(ShellTask::commandLine(json("echo")));
    EXPECT_FALSE(ShellTask::commandLine(json()));
}

}  // namespace
}  // namespace lumetta::shell
