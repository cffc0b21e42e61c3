#include <gtest/gtest.h>

#include <iterator>
#include <mutex>
#include <thread>

#include "bridge/NativeCall.h"
#include "modules/zev/ZevModule.h"
#include "support/TestServices.h"

using namespace lumetta;
using namespace lumetta::bridge;

namespace {
struct Posted {
    std::string name;
    Arg object;
};
}  // namespace

TEST(ZevModule, EachFunctionAnswersVoidAndPostsItsNotificationWithTheFirstArgument) {
    test::TestHost host;
    NativeCall native(host.services, {modules::zev::descriptor()});
    std::mutex lock;
    std::vector<Posted> posted;
    std::vector<NotificationCenter::Token> tokens;
    for (const Notification<Arg>& notice :
         {modules::zev::note::positionConfig, modules::zev::note::show, modules::zev::note::hide,
          modules::zev::note::openPage, modules::zev::note::sendMsg}) {
        tokens.push_back(
            host.center.observe(notice, [&, name = notice.name](const Arg& object, NativeCall* to) {
                std::lock_guard guard(lock);
                EXPECT_EQ(to, nullptr) << "reaches the panel whichever page asked";
                posted.push_back({std::string(name), object});
            }));
    }
    struct Case {
        const char* function;
        Arg arg1, arg2;
        const char* notification;
    };
    const Case cases[] = {
        {"$$zev_viewPositionConfig", R"({"x":1})", std::nullopt, "zevViewPositionConfig"},
        {"$$zev_show", std::nullopt, std::nullopt, "showWebViewZEV"},
        {"$$zev_hide", std::nullopt, "ignored", "hideWebViewZEV"},
        {"$$zev_openPage", "http://127.0.0.1:1/", std::nullopt, "openPageInZEVView"},
        {"$$zev_sendMsgToZEV", "it's", std::nullopt, "sendMsgToZEV"},
    };
    // The loopback server calls on its own thread: nothing here may need the main thread.
    std::thread caller([&] {
        for (const Case& c : cases) EXPECT_EQ(native.call(c.function, c.arg1, c.arg2), "v");
    });
    caller.join();
    ASSERT_EQ(posted.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(posted[i].name, cases[i].notification) << cases[i].function;
        EXPECT_EQ(posted[i].object, cases[i].arg1) << cases[i].function;
    }
    EXPECT_EQ(host.mainThread.pending(), 0u) << "nothing was left for the main thread";
}
