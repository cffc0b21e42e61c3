#include <gtest/gtest.h>

#include "bridge/NativeCall.h"
#include "host/JavaScriptInterface.h"
#include "support/TestServices.h"

using namespace lumetta;
using namespace lumetta::bridge;

namespace {
class RecordingController final : public host::PageController {
  public:
    void postJavaScriptFunction(const std::string& script) override { scripts.push_back(script); }
    void nativeControl(const std::string& command) override { commands.push_back(command); }
    void loadURL(const std::string& url) override { urls.push_back(url); }
    std::vector<std::string> scripts, commands, urls;
};
}  // namespace

TEST(JavaScriptInterface, NotificationsReachOnlyTheAddressedPage) {
    test::TestHost host;
    RecordingController c1, c2;
    host::JavaScriptInterface page1(c1, host.services, {});
    host::JavaScriptInterface page2(c2, host.services, {});
    NativeCall* n1 = &page1.native();

    host.center.post(note::nativeLocate, std::string("file:///all.html"));
    host.center.post(note::nativeLocate, std::string("file:///one.html"), n1);
    host.center.post(note::nativeControl, std::string("convert:{}"), n1);
    EXPECT_TRUE(c1.urls.empty()) << "work for the page runs later, on the main thread";
    host.mainThread.runPending();
    EXPECT_EQ(c1.urls, (std::vector<std::string>{"file:///all.html", "file:///one.html"}));
    EXPECT_EQ(c2.urls, (std::vector<std::string>{"file:///all.html"}));
    EXPECT_EQ(c1.commands, (std::vector<std::string>{"convert:{}"}));
    EXPECT_TRUE(c2.commands.empty());

    host.center.post(note::enableDragDrop, Arg("yes"), n1);
    EXPECT_TRUE(page1.dragdrop());
    EXPECT_FALSE(page2.dragdrop());
    host.center.post(note::dropFiles, std::vector<std::string>{"/a", "/b"}, &page2.native());
    EXPECT_EQ(page2.native().dropfiles().size(), 2u);
    EXPECT_TRUE(page1.native().dropfiles().empty());

    page1.native().setEvent(true);
    page2.native().setEvent(true);
    host.center.post(note::postEvent, std::string("app\fcommand\fexit\f"));
    host.center.post(note::postEvent, std::string("only\fone"), n1);
    host.mainThread.runPending();
    auto e1 = test::dispatchedEvents(c1.scripts);
    auto e2 = test::dispatchedEvents(c2.scripts);
    EXPECT_EQ(e1, (std::vector<std::string>{"app\fcommand\fexit\f", "only\fone"}));
    EXPECT_EQ(e2, (std::vector<std::string>{"app\fcommand\fexit\f"}));
}

TEST(JavaScriptInterface, WorkScheduledForADestroyedPageIsDropped) {
    test::TestHost host;
    RecordingController controller;
    {
        host::JavaScriptInterface page(controller, host.services, {});
        host.center.post(note::nativeLocate, std::string("file:///late.html"));
    }
    host.mainThread.runPending();
    EXPECT_TRUE(controller.urls.empty());
    host.center.post(note::postEvent, std::string("nobody\flistens"));
}
