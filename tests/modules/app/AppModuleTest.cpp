#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "bridge/NativeCall.h"
#include "modules/app/AppModule.h"
#include "modules/notification/NotificationModule.h"
#include "modules/recognizer/RecognizerModule.h"
#include "modules/store/StoreModule.h"
#include "modules/util/UtilModule.h"
#include "support/TestServices.h"

using namespace lumetta;
using namespace lumetta::bridge;
using lumetta::test::TestHost;

namespace {

class AppModuleTest : public ::testing::Test {
  protected:
    AppModuleTest() {
        for (const Notification<std::string>& notice :
             {note::postEvent, note::nativeControl, note::nativeLocate}) {
            tokens.push_back(host.center.observe(
                notice, [this, name = notice.name](const std::string& text, NativeCall* to) {
                    posted.push_back({std::string(name), text, to});
                }));
        }
        tokens.push_back(host.center.observe(note::enableDragDrop, [this](const Arg& on,
                                                                          NativeCall* to) {
            posted.push_back({std::string(note::enableDragDrop.name), on.value_or("<null>"), to});
        }));
    }
    struct Posted {
        std::string name, object;
        NativeCall* native;
    };
    TestHost host;
    NativeCall native{
        host.services,
        {modules::app::descriptor(), modules::util::descriptor(), modules::store::descriptor(),
         modules::notification::descriptor(), modules::recognizer::descriptor()}};
    std::vector<Posted> posted;
    std::vector<NotificationCenter::Token> tokens;
};

}  // namespace

TEST_F(AppModuleTest, ReadyAndStartEvent) {
    EXPECT_EQ(native.call("$$app_ready", {}, {}), "v");
    EXPECT_TRUE(native.ready());
    EXPECT_EQ(native.call("$$app_startevent", "1", {}), "b1");
    EXPECT_TRUE(native.event());
    EXPECT_EQ(native.call("$$app_startevent", "0", {}), "b1");
    EXPECT_FALSE(native.event());
}

TEST_F(AppModuleTest, GetEventTakesOldestFirst) {
    EXPECT_EQ(native.call("$$app_getevent", {}, {}), "v");
    native.postEvent("a\f1");
    native.postEvent("a\f2");
    EXPECT_EQ(native.call("$$app_getevent", {}, {}), "sa\f1");
    EXPECT_EQ(native.call("$$app_getevent", {}, {}), "sa\f2");
    EXPECT_EQ(native.call("$$app_getevent", {}, {}), "v");
}

TEST_F(AppModuleTest, StorageReadsAndWritesThroughTheStore) {
    EXPECT_EQ(native.call("$$app_storage", {}, {}), "s");
    EXPECT_EQ(native.call("$$app_storage", "{\"a\":1}", {}), "v");
    EXPECT_EQ(host.store.values["pref"], "{\"a\":1}");
    EXPECT_EQ(native.call("$$app_storage", {}, {}), "s{\"a\":1}");
    EXPECT_EQ(native.call("$$app_storage2", "k", "v1"), "v");
    EXPECT_EQ(native.call("$$app_storage2", "k", {}), "sv1");
    EXPECT_EQ(native.call("$$app_storage2", "", "x"), "v");
    EXPECT_EQ(native.call("$$app_storage2", "", {}), "s");
    EXPECT_EQ(host.store.values.count(""), 0u);
    host.store.failWrites = true;
    EXPECT_EQ(native.call("$$app_storage", "lost?", {}).substr(0, 1), "e")
        << "a write that did not reach the disk must not report success";
}

TEST_F(AppModuleTest, ClipboardWithApostropheThroughLumetta1) {
    native.call("$$app_clipboard", "it's", {});
    host.takeScripts();
    native.didReceiveScriptMessage("lumetta1", "$$app_clipboard\tcb");
    auto scripts = host.takeScripts();
    ASSERT_EQ(scripts.size(), 2u);
    EXPECT_EQ(scripts[0], "window['$$app_clipboard\\tcb']='sit\\'s'");
    EXPECT_EQ(scripts[1], "window['cb']('sit\\'s')");
}

TEST_F(AppModuleTest, RequestsToTheHostAreAddressedToThisPage) {
    native.call("$$app_control", "nosuch:{}", {});
    native.call("$$app_locate", "file:///tmp/x.html", {});
    native.call("$$app_dragdrop", "1", {});
    ASSERT_EQ(posted.size(), 3u);
    EXPECT_EQ(posted[0].name, note::nativeControl.name);
    EXPECT_EQ(posted[0].object, "nosuch:{}");
    EXPECT_EQ(posted[1].object, "file:///tmp/x.html");
    EXPECT_EQ(posted[2].object, "1");
    for (auto& p : posted) EXPECT_EQ(p.native, &native);
}

TEST_F(AppModuleTest, DropfilesIsAJsonArray) {
    EXPECT_EQ(nlohmann::json::parse(native.call("$$app_dropfiles", {}, {}).substr(1)),
              nlohmann::json::array());
    native.setDropfiles({"/a b", "/c'd"});
    EXPECT_EQ(nlohmann::json::parse(native.call("$$app_dropfiles", {}, {}).substr(1)),
              nlohmann::json({"/a b", "/c'd"}));
}

TEST_F(AppModuleTest, ExitIsScheduledOnTheMainThread) {
    EXPECT_EQ(native.call("$$app_exit", {}, {}), "v");
    EXPECT_EQ(host.application.terminated, 0);
    host.mainThread.runPending();
    EXPECT_EQ(host.application.terminated, 1);
    EXPECT_EQ(native.call("$$app_importfile", {}, {}), "v");
}

TEST_F(AppModuleTest, UtilConversions) {
    EXPECT_EQ(native.call("$$util_bytes", "\xC3\xA9", {}), "sC3A9");
    EXPECT_EQ(native.call("$$util_bytes", {}, {}), "s");
    EXPECT_EQ(native.call("$$util_text", "c3a9", {}), "s\xC3\xA9");
    EXPECT_EQ(native.call("$$util_text", "FF", {}), "s");
    EXPECT_EQ(native.call("$$util_text", {}, {}), "s");
}

TEST_F(AppModuleTest, StoreNotificationAndRecognizerPlaceholders) {
    EXPECT_EQ(native.call("$$store_purchased", {}, {}), "s[]");
    EXPECT_EQ(native.call("$$store_query", {}, {}), "v");
    EXPECT_EQ(native.call("$$store_restore", {}, {}), "v");
    EXPECT_EQ(native.call("$$app_getevent", {}, {}), "sstore\frestorefailed");
    EXPECT_EQ(native.call("$$notification_token", {}, {}), "s");
    host.store.values["device-token"] = "ABCD";
    EXPECT_EQ(native.call("$$notification_token", {}, {}), "sABCD");
    posted.clear();
    EXPECT_EQ(native.call("$$recognizer_start", {}, {}), "v");
    EXPECT_EQ(native.call("$$recognizer_start", {}, {}), "v");
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0].object, "recognizer\ferror\fSpeech Recognization is not supported.");
    EXPECT_EQ(posted[0].native, nullptr);
}

TEST_F(AppModuleTest, LocateLoadsOnlyWhatParsesAsAUrl) {
    std::vector<std::string> located;
    auto token = host.center.observe(note::nativeLocate,
                                     [&](const std::string& url) { located.push_back(url); });
    for (const char* text : {"not a url", "", "example.com/page", "://nothing", "1http://x",
                             "http://exa mple.com/", "http://a/%zz", "http://a/%4", "http://é.fr/",
                             "javascript:alert('x')\n", "http://a/\"q\""})
        EXPECT_EQ(native.call("$$app_locate", std::string(text), {}), "v") << text;
    EXPECT_EQ(native.call("$$app_locate", {}, {}), "v");
    EXPECT_TRUE(located.empty()) << located.front();
    for (const char* text : {"https://example.com/a/b?c=d&e=%2F#frag", "file:///tmp/x.html",
                             "about:blank", "lumetta+x://host:80/p;q=1"})
        native.call("$$app_locate", std::string(text), {});
    EXPECT_EQ(located, (std::vector<std::string>{"https://example.com/a/b?c=d&e=%2F#frag",
                                                 "file:///tmp/x.html", "about:blank",
                                                 "lumetta+x://host:80/p;q=1"}));
}
