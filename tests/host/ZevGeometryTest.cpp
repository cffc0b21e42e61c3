#include <gtest/gtest.h>

#include <cstdint>

#include "host/ZevGeometry.h"

using lumetta::host::zevGeometryFromJson;
using lumetta::host::zevPanelFrame;
using lumetta::host::ZevRect;

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
