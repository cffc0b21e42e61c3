#include <gtest/gtest.h>
#include <signal.h>

#include "bridge/NativeCall.h"
#include "modules/sh/ShModule.h"
#include "shell/ShellLoop.h"
#include "support/TestServices.h"

namespace lumetta::modules::sh {
namespace {

using test::decodeShellEvent;
using test::runUntil;

class ShModuleTest : public ::testing::Test {
  protected:
    ShModuleTest()
        : native(std::make_unique<bridge::NativeCall>(
              host.services, std::vector<bridge::ModuleDescriptor>{descriptor()})) {}

    std::string call(const char* name, bridge::Arg a1 = std::nullopt) {
        return native->call(name, a1, std::nullopt);
    }

    // Takes queued events until the task's empty-text event; the texts before it, joined.
    std::optional<std::string> outputOf(const std::string& pid) {
        std::string text;
        bool finished = false;
        if (!runUntil([&] {
                while (auto e = native->queue().take()) {
                    auto event = decodeShellEvent(*e);
                    if (event.pid != pid) continue;
                    if (event.text.empty()) finished = true;
                    text += event.text;
                }
                return finished;
            }))
            return std::nullopt;
        return text;
    }

    test::TestHost host;
    std::unique_ptr<bridge::NativeCall> native;
};

TEST_F(ShModuleTest, ExecAnswersTheProcessIdAndStreamsTheOutput) {
    std::string result = call("$$sh_exec", R"(["echo","hello"])");
    ASSERT_EQ(result[0], 'd');
    EXPECT_GT(std::stoi(result.substr(1)), 0);
    EXPECT_EQ(outputOf(result.substr(1)), "hello\n");
}

TEST_F(ShModuleTest, ExecWithoutWordsStartsNothing) {
    EXPECT_EQ(call("$$sh_exec", "[]"), "d0");
    EXPECT_EQ(call("$$sh_exec"), "d0");
    EXPECT_EQ(call("$$sh_exec", "not json"), "d0");
    EXPECT_EQ(native->queue().size(), 0u);
}

TEST_F(ShModuleTest, KillLeavesAShellTaskRunning) {
    std::string result = call("$$sh_exec", R"(["sleep 0.5; echo", "survived"])");
    std::string pid = result.substr(1);
    EXPECT_EQ(call("$$sh_kill", pid), "v");
    EXPECT_EQ(kill(std::stoi(pid), 0), 0);
    EXPECT_EQ(outputOf(pid), "survived\n");
}

TEST_F(ShModuleTest, KillOfNothingAnswersV) {
    for (const char* arg : {"0", "abc", "-1", "", "99999999999"})
        EXPECT_EQ(call("$$sh_kill", arg), "v") << arg;
    EXPECT_EQ(call("$$sh_kill"), "v");
}

TEST_F(ShModuleTest, ATaskThatOutlivesItsPageFinishesQuietly) {
    std::string result = call("$$sh_exec", R"(["sleep 0.2; echo late"])");
    pid_t pid = std::stoi(result.substr(1));
    native.reset();
    // The task still reads, reaps and releases itself; its events go nowhere.
    EXPECT_TRUE(runUntil([&] { return kill(pid, 0) != 0; }));
}

TEST_F(ShModuleTest, ACommandLineWithANulIsRefusedNotCut) {
    std::string words = "[\"echo a\\u0000; echo b\"]";
    EXPECT_EQ(call("$$sh_exec", words).substr(0, 1), "e");
    host.mainThread.runPending();
    EXPECT_EQ(native->queue().size(), 0u) << "nothing started";
}

}  // namespace
}  // namespace lumetta::modules::sh
