// The dlk module through the real page in the real application, with lumetta-devsim as the
// devices on 127.0.0.1. Run inside scripts/with-display.sh.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "AppProcess.h"
#include "link/DevsimProcess.h"
#include "support/VethNamespace.h"

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

// The page searches inside a private network namespace (veth pair 10.99.0.1/10.99.0.2) that this
// test makes, so no broadcast leaves it; the application and the simulator both run inside.
TEST(LinkFunctional, PageFindsTheSimulatorOncePerSearchInAPrivateNetwork) {
    if (std::getenv("LUMETTA_LINK_NETNS")) {
        DevsimProcess sim({"--bind", "10.99.0.2", "--reply-count", "2", "--model", "NS", "--number",
                           "0x00C0FFEE"});
        ASSERT_TRUE(sim.started());
        AppProcess app;
        app.start({"--virtual-midi", "--page=" + app.page("dlk-discovery.html").string()});
        auto r = app.waitForKey("discovery", std::chrono::seconds(60));
        ASSERT_TRUE(r) << app.stored("error").value_or("");
        EXPECT_EQ(r->at("beforeSearch"), 0) << "the application never searches on its own";
        EXPECT_EQ(r->at("search1"), "v");
        EXPECT_EQ(r->at("afterSearch1"), 1) << "two answers, one find";
        EXPECT_EQ(r->at("afterSearch2"), 2) << "a new search finds the device again";
        ASSERT_EQ(r->at("found").size(), 2u);
        EXPECT_EQ(r->at("found")[0]["DLKDeviceAddressKey"], "10.99.0.2");
        EXPECT_EQ(r->at("found")[0]["DLKDeviceUIDKey"], "NS-00C0FFEE");
        EXPECT_EQ(r->at("found")[0]["DLKDevicePortNoKey"], sim.dictionary()["DLKDevicePortNoKey"]);
        EXPECT_EQ(r->at("message"), json::array({"903C64"}));
        return;
    }
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a network namespace";
    // The session bus may listen on an abstract socket, which the new network hides; the
    // application does without it.
    const auto run = lumetta::test::rerunInVethNamespace(
        "LinkFunctional.PageFindsTheSimulatorOncePerSearchInAPrivateNetwork",
        "DBUS_SESSION_BUS_ADDRESS=disabled:");
    if (run.notPermitted)
        GTEST_SKIP() << "network namespaces are not permitted here: " << run.output;
    EXPECT_TRUE(run.succeeded) << run.output;
    EXPECT_NE(run.output.find("[  PASSED  ] 1 test"), std::string::npos) << run.output;
}
