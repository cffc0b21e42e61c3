// HTTP transfers, TCP connections and the security functions through the real application's
// page, against servers this test runs on loopback.

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <thread>

#include "AppProcess.h"
#include "net/LoopbackPeer.h"
#include "net/TestHttpServer.h"

using lumetta::test::AppProcess;
using nlohmann::json;
using namespace std::chrono_literals;

TEST(NetApp, ThePageDownloadsTalksTcpAndDigests) {
    lumetta::test::TestHttpServer server;
    lumetta::test::LoopbackListener listener;
    // An echo peer for one connection.
    std::thread echo([&] {
        auto fd = listener.accept(60000);
        if (!fd) return;
        std::vector<uint8_t> buffer(4096);
        while (true) {
            ssize_t n = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
            if (n <= 0 || !lumetta::test::writeAll(fd.get(), buffer.data(), static_cast<size_t>(n)))
                return;
        }
    });

    AppProcess app;
    std::ofstream(app.page("net-ports.js"))
        << "window.NET = { http: " << server.port() << ", tcp: " << listener.port() << " };\n";
    app.start({"--page=" + app.page("net.html").string()});
    auto out = app.waitForKey("net", 60s);

    echo.join();
    ASSERT_TRUE(out) << app.stored("error").value_or("");

    EXPECT_EQ((*out)["md5"], "s900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ((*out)["decipher"], "sgrüße");

    auto& downloads = (*out)["downloads"];
    std::string ok = downloads["ok"];
    std::string missing = downloads["missing"];
    EXPECT_EQ(ok, "0");
    EXPECT_EQ(missing, "1");
    bool sawCompleted = false, sawError = false;
    for (auto& e : downloads["events"]) {
        if (e[0] == "completed" && e[1] == ok) {
            sawCompleted = true;
            std::string path = e[2];
            EXPECT_EQ(path.rfind((app.root() / "runtime").string(), 0), 0u)
                << "in the private temporary folder: " << path;
            std::string name = std::filesystem::path(path).filename();
            EXPECT_TRUE(std::regex_match(name, std::regex("lmtt_[1-9a-f][0-9a-f]*_0\\.tmp")))
                << name;
            EXPECT_EQ(std::filesystem::file_size(path), 1000u);
        }
        if (e[0] == "error" && e[1] == missing) {
            sawError = true;
            EXPECT_EQ(e[2], server.url("/status/404"));
        }
    }
    EXPECT_TRUE(sawCompleted) << downloads.dump();
    EXPECT_TRUE(sawError) << downloads.dump();

    auto& tcp = (*out)["tcp"];
    std::string number = tcp["number"];
    EXPECT_NE(number, "-1");
    std::string echoed;
    int closed = 0;
    for (auto& e : tcp["events"]) {
        EXPECT_EQ(e[1], number);
        if (e[0] == "read") echoed += e[2].get<std::string>();
        if (e[0] == "closed") ++closed;
    }
    EXPECT_EQ(echoed, "68656C6C6F");
    EXPECT_EQ(closed, 1) << tcp.dump();
}
