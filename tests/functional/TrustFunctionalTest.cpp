// Only trusted pages reach the bridge: the real application, its pages served from loopback
// ports of their own.

#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "AppProcess.h"
#include "host/gtk/KeyFileStore.h"
#include "support/LoopbackHttpServer.h"

using lumetta::test::AppProcess;
using nlohmann::json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Serves the files of one folder on a loopback port of its own. A page reports to it with
// GET /report?<JSON> or /events?<JSON>; GET /proceed answers "yes" once the test allows it.
class PageServer {
  public:
    explicit PageServer(fs::path folder)
        : folder_(std::move(folder)),
          server_([this](const std::string& path, const std::string& query) {
              return answer(path, query);
          }) {}

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(server_.port()) + path;
    }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(server_.port()); }
    void proceed() { proceed_ = true; }

    /// Waits for a report to `path`: its JSON.
    std::optional<json> waitFor(const std::string& path, std::chrono::seconds timeout = 30s) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            {
                std::lock_guard guard(lock_);
                if (auto it = reports_.find(path); it != reports_.end())
                    return json::parse(it->second, nullptr, false);
            }
            std::this_thread::sleep_for(50ms);
        }
        return std::nullopt;
    }

  private:
    using Response = lumetta::test::LoopbackHttpServer::Response;

    // On the server's thread.
    Response answer(const std::string& path, const std::string& query) {
        if (path == "/report" || path == "/events") {
            char* decoded = g_uri_unescape_string(query.c_str(), nullptr);
            std::lock_guard guard(lock_);
            reports_[path] = decoded ? decoded : "";
            g_free(decoded);
            return {.type = "text/plain"};
        }
        if (path == "/proceed") return {.type = "text/plain", .body = proceed_ ? "yes" : "no"};
        std::ifstream in{folder_ / path.substr(1), std::ios::binary};
        if (path.find("..") != std::string::npos || !in) return {.status = "404 Not Found"};
        std::ostringstream content;
        content << in.rdbuf();
        return {.type = path.ends_with(".js")    ? "text/javascript"
                        : path.ends_with(".zip") ? "application/zip"
                                                 : "text/html; charset=utf-8",
                .body = content.str()};
    }

    fs::path folder_;
    std::atomic<bool> proceed_{false};
    std::mutex lock_;
    std::map<std::string, std::string> reports_;
    lumetta::test::LoopbackHttpServer server_;  // last: stopped first
};

void store(const AppProcess& app, const std::string& key, const std::string& value) {
    lumetta::host::KeyFileStore(
        (app.root() / "config" / "com.velmar.lumetta" / "store.ini").string())
        .set(key, value);
}

// Every channel answered as a trusted page's calls are answered.
void expectBridge(const json& out, const std::string& what) {
    EXPECT_EQ(out.value("prompt", ""), "s41") << what;
    EXPECT_EQ(out.value("message", ""), "s42") << what;
    EXPECT_EQ(out.value("variable", ""), "s43") << what;
    EXPECT_EQ(out.value("xhr", ""), "s44") << what;
}

}  // namespace

TEST(Trust, APageOfAnotherOriginReachedByALinkGetsNothingAndGoingBackRestoresTheBridge) {
    AppProcess app;
    PageServer foreign(app.root() / "pages");
    fs::path dir = app.root() / "written";
    fs::create_directories(dir);
    store(app, "foreignUrl", foreign.url("/foreign.html?dir=" + dir.string()));
    app.start({"--page=" + app.page("trust.html").string()});

    auto before = app.waitForKey("before");
    ASSERT_TRUE(before) << app.stored("error").value_or("no error reported");
    expectBridge(*before, "before the link");

    auto report = foreign.waitFor("/report");
    ASSERT_TRUE(report) << "the foreign page did not report";
    EXPECT_TRUE(report->value("noPrompt", false)) << "the user script gave it $$prompt";
    EXPECT_TRUE(report->value("noToken", false)) << "the user script gave it the token";
    for (const char* channel :
         {"prompt", "lumetta2", "lumetta1", "variable", "xhr", "startevent"}) {
        std::string answer = report->value(channel, "");
        EXPECT_EQ(answer.substr(0, 1), "e") << channel << ": " << answer;
        EXPECT_NE(answer.find("not trusted"), std::string::npos) << channel << ": " << answer;
    }
    auto title = app.windowTitle();
    ASSERT_TRUE(title);
    EXPECT_NE(title->find("Not trusted: " + foreign.origin()), std::string::npos) << *title;

    // An event for every page while the foreign one is shown: it must wait for the trusted one.
    fs::path opened = app.root() / "opened while away.wav";
    std::ofstream(opened) << "x";
    EXPECT_EQ(app.runAnother({opened.string()}), 0);
    std::this_thread::sleep_for(1s);  // room for a wrong delivery to happen
    foreign.proceed();
    auto events = foreign.waitFor("/events");
    ASSERT_TRUE(events);
    EXPECT_EQ(*events, json::array()) << "events reached the untrusted page";

    auto back = app.waitForKey("back");
    ASSERT_TRUE(back) << app.stored("error").value_or("no error reported");
    expectBridge(*back, "after going back");
    EXPECT_EQ(back->at("opened"), json({"open|" + opened.string()}));
    EXPECT_TRUE(back->value("token", false));
    title = app.windowTitle();
    ASSERT_TRUE(title);
    EXPECT_EQ(title->find("Not trusted"), std::string::npos) << *title;

    for (const char* name :
         {"prompt.txt", "lumetta1.txt", "xhr.txt", "lumetta2.ran", "prompt-handler.ran"})
        EXPECT_FALSE(fs::exists(dir / name)) << name << " was written by the untrusted page";
}

TEST(Trust, ALoopbackPageGivenAtStartVouchesForThePageItLocates) {
    AppProcess app;
    PageServer start(app.root() / "pages");
    PageServer other(app.root() / "pages");
    store(app, "locateUrl", other.url("/located.html"));
    app.start({"--page=" + start.url("/remote.html")});

    auto remote = app.waitForKey("remote");
    ASSERT_TRUE(remote) << app.stored("error").value_or("no error reported");
    expectBridge(*remote, "the start page");
    EXPECT_EQ(remote->value("events", false), true) << "events reach the start page";
    EXPECT_EQ(remote->value("origin", ""), start.origin());

    auto located = app.waitForKey("located");
    ASSERT_TRUE(located) << app.stored("error").value_or("no error reported");
    expectBridge(*located, "the located page");
    EXPECT_EQ(located->value("events", false), true) << "events reach the located page";
    EXPECT_EQ(located->value("origin", ""), other.origin());

    auto back = app.waitForKey("remoteBack");
    ASSERT_TRUE(back) << app.stored("error").value_or("no error reported");
    expectBridge(*back, "back on the start page");
    EXPECT_EQ(back->value("events", false), true) << "events reach the start page again";
}

TEST(Trust, AFrameOfAnotherOriginInATrustedPageGetsNoChannel) {
    AppProcess app;
    PageServer foreign(app.root() / "pages");
    fs::path dir = app.root() / "written";
    fs::create_directories(dir);
    store(app, "foreignUrl", foreign.url("/framed.html?dir=" + dir.string()));
    app.start({"--page=" + app.page("frames.html").string()});

    auto report = foreign.waitFor("/report");
    ASSERT_TRUE(report) << "the frame did not report";
    EXPECT_TRUE(report->value("noToken", false));
    EXPECT_TRUE(report->value("noPrompt", false));
    EXPECT_EQ(report->value("handlers", ""), "undefined") << "the message handlers are reachable";
    EXPECT_EQ(report->value("getter", ""), "undefined") << "through the namespace's prototype";
    EXPECT_EQ(report->value("childHandlers", ""), "undefined") << "through a fresh window";
    for (const char* channel : {"prompt", "childPrompt", "afterDelete", "xhr"}) {
        std::string answer = report->value(channel, "");
        EXPECT_EQ(answer.substr(0, 1), "e") << channel << ": " << answer;
    }
    auto page = app.waitForKey("page");
    ASSERT_TRUE(page) << app.stored("error").value_or("no error reported");
    expectBridge(*page, "the framing page");
    for (const char* name :
         {"frame-prompt.txt", "child-prompt.txt", "deleted-prompt.txt", "frame-xhr.txt"})
        EXPECT_FALSE(fs::exists(dir / name)) << name << " was written by the foreign frame";
}

TEST(Trust, OriginsListedOnTheCommandLineOrInTheSettingAreTrusted) {
    for (bool inSetting : {false, true}) {
        AppProcess app;
        PageServer listed(app.root() / "pages");
        store(app, "foreignUrl", listed.url("/located.html"));
        std::vector<std::string> args = {"--page=" + app.page("trust.html").string()};
        if (inSetting)
            store(app, "trusted-origins", "https://editor.example.com, " + listed.origin());
        else
            args.push_back("--trust-origin=" + listed.origin());
        app.start(args);
        auto located = app.waitForKey("located");
        ASSERT_TRUE(located) << (inSetting ? "setting: " : "option: ")
                             << app.stored("error").value_or("no error reported");
        expectBridge(*located, inSetting ? "listed in the setting" : "listed on the command line");
        EXPECT_EQ(located->value("origin", ""), listed.origin());
    }
}

TEST(Trust, AnArchiveOnAnotherOriginLeavesThePageItsBridgeAndEvents) {
    AppProcess app;
    PageServer foreign(app.root() / "pages");
    std::ofstream(app.page("archive.zip"), std::ios::binary)
        << std::string("PK\x05\x06", 4) << std::string(18, '\0');
    store(app, "foreignUrl", foreign.url("/archive.zip"));
    app.start({"--page=" + app.page("download-away.html").string()});
    auto result = app.waitForKey("download");
    ASSERT_TRUE(result) << app.stored("error").value_or("no error reported");
    EXPECT_EQ(result->at("downloads"), json({foreign.url("/archive.zip")}));
    expectBridge(result->at("after"), "after the download");
    auto title = app.windowTitle();
    ASSERT_TRUE(title);
    EXPECT_EQ(title->find("Not trusted"), std::string::npos) << *title;
}
