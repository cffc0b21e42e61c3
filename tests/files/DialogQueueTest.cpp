#include <gtest/gtest.h>

#include "files/FakeDesktop.h"
#include "files/FileDialogs.h"

namespace lumetta::files {
namespace {

TEST(DialogQueue, SecondDialogWaitsUntilTheFirstIsAnswered) {
    test::FakeDialogs dialogs;
    int window = 0;
    DialogQueue queue(dialogs, [&] { return static_cast<void*>(&window); });
    std::vector<std::string> answers;
    DialogRequest first;
    first.name = "first";
    DialogRequest second;
    second.name = "second";
    queue.enqueue(first, [&](std::string p) { answers.push_back("1:" + p); });
    queue.enqueue(second, [&](std::string p) { answers.push_back("2:" + p); });
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.parent, &window);
    EXPECT_EQ(queue.waiting(), 1u);
    dialogs.answer("/a");
    ASSERT_EQ(dialogs.shown.size(), 2u);
    EXPECT_EQ(dialogs.shown[1].name, "second");
    dialogs.answer("");
    EXPECT_EQ(answers, (std::vector<std::string>{"1:/a", "2:"}));
    EXPECT_FALSE(queue.busy());
}

TEST(DialogQueue, AnAnswerAfterTheQueueIsGoneIsDropped) {
    test::FakeDialogs dialogs;
    bool answered = false;
    {
        DialogQueue queue(dialogs, nullptr);
        queue.enqueue({}, [&](std::string) { answered = true; });
    }
    dialogs.answer("/late");
    EXPECT_FALSE(answered);
}

}  // namespace
}  // namespace lumetta::files
