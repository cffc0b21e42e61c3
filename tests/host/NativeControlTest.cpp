#include <gtest/gtest.h>

#include "bridge/NativeCall.h"
#include "bridge/Result.h"
#include "host/NativeControl.h"
#include "support/TestServices.h"

using namespace lumetta;
using namespace lumetta::bridge;
using lumetta::host::NativeControl;

namespace {
class NativeControlTest : public ::testing::Test {
  protected:
    NativeControlTest() {
        NativeControl::clear();
        token =
            host.center.observe(note::postEvent, [this](const std::string& event, NativeCall* to) {
                events.push_back({event, to});
            });
    }
    ~NativeControlTest() override { NativeControl::clear(); }
    test::TestHost host;
    NativeCall native{host.services, {}};
    std::vector<std::pair<std::string, NativeCall*>> events;
    NotificationCenter::Token token;
};
}  // namespace

TEST_F(NativeControlTest, HandlerResultIsReportedToTheSendingPage) {
    nlohmann::json seen;
    NativeControl::add("convert",
                       [&](host::NativeWindow, const nlohmann::json& args, nlohmann::json& result) {
                           seen = args;
                           result["progress"] = 40;
                           result["result"] = 7;  // overwritten by the outcome
                           return true;
                       });
    NativeControl::proc(native, "convert:{\"req\":\"progress\"}", nullptr);
    EXPECT_EQ(seen["req"], "progress");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].second, &native);
    const std::string prefix = "app\fcommand\fconvert\f";
    ASSERT_EQ(events[0].first.substr(0, prefix.size()), prefix);
    auto dict = nlohmann::json::parse(events[0].first.substr(prefix.size()));
    EXPECT_EQ(dict, (nlohmann::json{{"progress", 40}, {"result", 1}}));
}

TEST_F(NativeControlTest, UnknownCommandsAndPrefixesAreIgnored) {
    int calls = 0;
    NativeControl::add("wavstat", [&](host::NativeWindow, const nlohmann::json&, nlohmann::json&) {
        ++calls;
        return false;
    });
    NativeControl::proc(native, "nosuch:{}", nullptr);
    NativeControl::proc(native, "wavstatx:{}", nullptr);
    NativeControl::proc(native, "wavstat", nullptr);
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(events.empty());
}

TEST_F(NativeControlTest, InvalidJsonRunsHandlerWithNullArguments) {
    bool wasNull = false;
    NativeControl::add("wavstat",
                       [&](host::NativeWindow, const nlohmann::json& args, nlohmann::json&) {
                           wasNull = args.is_null();
                           return false;
                       });
    NativeControl::proc(native, "wavstat:{not json", nullptr);
    EXPECT_TRUE(wasNull);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_NE(events[0].first.find("\"result\": 0"), std::string::npos);
}

TEST_F(NativeControlTest, AThrowingHandlerIsReportedAsAFailedCommand) {
    NativeControl::add("convert", [](host::NativeWindow, const nlohmann::json&, nlohmann::json& r) {
        r["progress"] = 10;
        throw std::runtime_error("no such file");
        return true;
    });
    EXPECT_NO_THROW(NativeControl::proc(native, "convert:{}", nullptr));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].first,
              "app\fcommand\fconvert\f" + *jsonStringFromObject(nlohmann::json{{"result", 0}}));
}
