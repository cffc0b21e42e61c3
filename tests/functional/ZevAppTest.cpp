// The secondary panel in the running application, driven by its page through the bridge.

#include <gtest/gtest.h>

#include "AppProcess.h"

using lumetta::test::AppProcess;
using json = nlohmann::json;

TEST(ZevApp, ThePageDrivesThePanelAndHearsItsLoadAndMessages) {
    AppProcess app;
    app.start({"--page=" + app.page("zev.html").string()});
    auto result = app.waitForKey("zev");
    ASSERT_TRUE(result) << app.stored("error").value_or("");
    EXPECT_EQ(result->at("results"), json({"v", "v", "v", "v", "v"}));
    EXPECT_EQ(result->at("notices"), json({"0"}));
    EXPECT_TRUE(result->at("exact").get<bool>()) << result->at("message");
}
