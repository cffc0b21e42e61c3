#include <gtest/gtest.h>

#include <thread>

#include "bridge/NativeCall.h"
#include "host/ZevGeometry.h"
#include "modules/zev/ZevModule.h"
#include "support/TestServices.h"

using namespace lumetta;
using namespace lumetta::bridge;
using host::zevGeometryFromJson;
using host::zevPanelFrame;
using host::ZevRect;

TEST(ZevGeometry, MembersAreReadAsIntegersWithFractionsCutOff) {
    EXPECT_EQ(zevGeometryFromJson(R"({"x":10,"y":20,"width":300,"height":200})"),
              (ZevRect{10, 20, 300, 200}));
    EXPECT_EQ(zevGeometryFromJson(R"({"x":10.9,"y":-3.7,"width":"300","height":" 200.5px"})"),
              (ZevRect{10, -3, 300, 200}));
    EXPECT_EQ(zevGeometryFromJson(R"({"x":9007199254740993,"y":0,"width":0,"height":0})").x,
              9007199254740993LL)
        << "64-bit integers are kept whole";
}

TEST(ZevGeometry, WhatIsNotAGeometryCountsAsZero) {
    EXPECT_EQ(zevGeometryFromJson(std::nullopt), ZevRect{});
    EXPECT_EQ(zevGeometryFromJson("not json"), ZevRect{});
    EXPECT_EQ(zevGeometryFromJson("[1,2,3,4]"), ZevRect{});
    EXPECT_EQ(zevGeometryFromJson(R"({"x":5})"), (ZevRect{5, 0, 0, 0}));
    EXPECT_EQ(zevGeometryFromJson(R"({"x":null,"y":{},"width":"wide","height":[1]})"), ZevRect{});
    EXPECT_EQ(zevGeometryFromJson("{\"x\":\"\xff\"}"), ZevRect{})
        << "text that is not UTF-8 parses to nothing";
    EXPECT_EQ(zevGeometryFromJson(
                  R"({"x":1e300,"y":-1e300,"width":"99999999999999999999999","height":0})"),
              (ZevRect{INT64_MAX, INT64_MIN, INT64_MAX, 0}))
        << "out-of-range values saturate";
}

TEST(ZevGeometry, PanelMovesDownByTheHiddenPartOfTheMainView) {
    ZevRect geometry{10, 20, 300, 200};
    EXPECT_EQ(zevPanelFrame(geometry, 800, 772), (ZevRect{10, 48, 300, 200}));
    EXPECT_EQ(zevPanelFrame(geometry, 772, 772), geometry) << "nothing hidden, nothing moved";
    EXPECT_EQ(zevPanelFrame(geometry, 0, 0), geometry);
    EXPECT_EQ(zevPanelFrame({0, INT64_MAX, 0, 0}, 800, 772).y, INT64_MAX) << "saturates";
}

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
    // The loopback server calls on its own thread: nothing here may need the main thread.
    std::thread caller([&] {
        EXPECT_EQ(native.call("$$zev_viewPositionConfig", R"({"x":1})", std::nullopt), "v");
        EXPECT_EQ(native.call("$$zev_show", std::nullopt, std::nullopt), "v");
        EXPECT_EQ(native.call("$$zev_hide", std::nullopt, "ignored"), "v");
        EXPECT_EQ(native.call("$$zev_openPage", "http://127.0.0.1:1/", std::nullopt), "v");
        EXPECT_EQ(native.call("$$zev_sendMsgToZEV", "it's", std::nullopt), "v");
    });
    caller.join();
    ASSERT_EQ(posted.size(), 5u);
    EXPECT_EQ(posted[0].name, "zevViewPositionConfig");
    EXPECT_EQ(posted[0].object, R"({"x":1})");
    EXPECT_EQ(posted[1].name, "showWebViewZEV");
    EXPECT_EQ(posted[1].object, std::nullopt);
    EXPECT_EQ(posted[2].name, "hideWebViewZEV");
    EXPECT_EQ(posted[2].object, std::nullopt);
    EXPECT_EQ(posted[3].name, "openPageInZEVView");
    EXPECT_EQ(posted[3].object, "http://127.0.0.1:1/");
    EXPECT_EQ(posted[4].name, "sendMsgToZEV");
    EXPECT_EQ(posted[4].object, "it's");
    EXPECT_EQ(host.mainThread.pending(), 0u) << "nothing was left for the main thread";
}
