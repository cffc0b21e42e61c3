// The dlk module through the real page in the real application, with lumetta-devsim as the
// devices on 127.0.0.1. Run inside scripts/with-display.sh.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "AppProcess.h"
#include "link/DevsimProcess.h"

using lumetta::test::AppProcess;
using lumetta::test::DevsimProcess;
using nlohmann::json;

TEST(LinkFunctional, PageConnectsExchangesMidiAndSurvivesABrokenDevice) {
    DevsimProcess good({"--no-discovery"});
    DevsimProcess bad({"--no-discovery", "--fault", "absurd-length", "--fault-after", "100"});
    ASSERT_TRUE(good.started() && bad.started());
    AppProcess app;
    std::ofstream(app.page("devices.js"))
        << "window.DEVICES = "
        << json{{"good", good.dictionary()}, {"bad", bad.dictionary()}}.dump() << ";\n";
    app.start({"--virtual-midi", "--page=" + app.page("dlk.html").string()});
    auto r = app.waitForKey("dlk", std::chrono::seconds(60));
    ASSERT_TRUE(r) << app.stored("error").value_or("");

    EXPECT_EQ(r->at("device"), "s");
    EXPECT_EQ(r->at("timeout"), "d5");
    EXPECT_EQ(r->at("keepalive"), "d3");
    EXPECT_EQ(r->at("notJson"), "v");
    EXPECT_EQ(r->at("connectfailed"), json::array({""}));
    EXPECT_EQ(r->at("connect"), "v");
    EXPECT_EQ(r->at("connected"), good.dictionary());
    EXPECT_EQ(r->at("deviceAfter"), good.dictionary());
    EXPECT_EQ(r->at("send"), "v");
    ASSERT_EQ(r->at("message").size(), 2u);
    EXPECT_EQ(r->at("message")[0], "903C64");
    EXPECT_GT(std::stoul(r->at("message")[1].get<std::string>()), 0u);
    EXPECT_EQ(r->at("sysex")[0], r->at("sysexSent")) << "a 302-byte SysEx, two frames each way";
    EXPECT_EQ(r->at("keepaliveSet"), "d4");
    EXPECT_EQ(r->at("disconnect"), "v");
    EXPECT_EQ(r->at("afterDisconnect"), 0) << "disconnect posts no event";
    EXPECT_EQ(r->at("deviceAfterDisconnect"), "s");
    EXPECT_EQ(r->at("error"), bad.dictionary());
    EXPECT_EQ(r->at("afterError"), "d5");
    EXPECT_EQ(r->at("again")[0], "803C00");
    EXPECT_EQ(r->at("names"), json({"connectfailed", "connected", "message", "message", "connected",
                                    "error", "connected", "message"}));
    // What the device saw: the frames, whole, and the keep-alive time-out the page set.
    EXPECT_TRUE(good.waitFor("frame 2 0 0000000009903C64"));
    EXPECT_TRUE(good.waitFor("frame 0 1 04"));
    EXPECT_TRUE(bad.waitFor("fault committed"));
}

TEST(LinkFunctional, ConsoleDevicesPanelConnectsSendsAndShowsTheStatus) {
    DevsimProcess good({"--no-discovery"});
    ASSERT_TRUE(good.started());
    AppProcess app;
    // The bundled console, plus the simulator's dictionary and a driver that uses the panel.
    const auto console = app.root() / "console";
    std::filesystem::copy(LUMETTA_CONSOLE_DIR, console, std::filesystem::copy_options::recursive);
    std::ofstream(console / "devices.js")
        << "window.DEVICES = " << json{{"good", good.dictionary()}}.dump() << ";\n";
    std::filesystem::copy_file(app.page("dlk-panel-driver.js"), console / "driver.js");
    std::ifstream in(console / "index.html");
    std::string index((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    auto body = index.rfind("</body>");
    ASSERT_NE(body, std::string::npos);
    index.insert(body, "<script src=\"devices.js\"></script><script src=\"driver.js\"></script>\n");
    std::ofstream(console / "index.html") << index;

    app.start({"--virtual-midi", "--page=" + (console / "index.html").string()});
    auto r = app.waitForKey("panel", std::chrono::seconds(60));
    ASSERT_TRUE(r) << app.stored("error").value_or("");
    EXPECT_EQ(r->at("timeouts"), json({"5", "3"}));
    EXPECT_EQ(r->at("connected"), true);
    EXPECT_EQ(r->at("state"), "connected: Simulated Device");
    EXPECT_EQ(r->at("echoed"), true);
    EXPECT_EQ(r->at("statusShown"), true) << r->dump();
    EXPECT_EQ(r->at("disconnected"), true);
    EXPECT_TRUE(good.waitFor("frame 2 0 0000000009903C64"));
    EXPECT_TRUE(good.waitFor("control-closed"));
}
