// The real application under a real display, driven through its page.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "AppProcess.h"
#include "ir/SynthIr.h"

using lumetta::test::AppProcess;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

// Polls 50 ms apart for what takes the application milliseconds: 30 s, only against hanging.
constexpr int kHangGuardPolls = 600;

void expectAllTrue(const json& value, const std::string& what) {
    if (value.is_boolean()) {
        EXPECT_TRUE(value.get<bool>()) << what;
    } else if (value.is_array()) {
        for (size_t i = 0; i < value.size(); ++i)
            expectAllTrue(value[i], what + "[" + std::to_string(i) + "]");
    } else if (value.is_object()) {
        for (auto& [k, v] : value.items()) expectAllTrue(v, what + "." + k);
    } else {
        ADD_FAILURE() << what << " is " << value.dump();
    }
}

std::string pageArg(const AppProcess& app, const std::string& name) {
    return "--page=" + app.page(name).string();
}

}  // namespace

TEST(AppFunctional, EveryChannelCarriesHostileTextExactly) {
    AppProcess app;
    app.start({pageArg(app, "channels.html")});
    auto result = app.waitForKey("channels");
    ASSERT_TRUE(result) << "page reported nothing; error: " << app.stored("error").value_or("none");
    expectAllTrue(*result, "channels");
    EXPECT_EQ(result->at("prompt").size(), 13u);
}

// One running application: files named at launch, then files and command URLs handed over by
// a second launch.
TEST(AppFunctional, FilesAndCommandUrlsArriveInOrderFromTheLaunchAndFromASecondLaunch) {
    AppProcess app;
    // Names a page must receive exactly, whatever they contain.
    std::vector<std::string> names = {"first take.wav", "it's a \\ \"quoted\" file.syx",
                                      "');window.pwned=1;.mid", "caf\xC3\xA9 \xE2\x80\xA8.wav"};
    std::vector<std::string> args = {pageArg(app, "events.html")};
    json expected = json::array();
    for (auto& n : names) {
        std::ofstream(app.root() / n) << "x";
        args.push_back((app.root() / n).string());
        expected.push_back("app\fcommand\fopen\f" + (app.root() / n).string());
    }
    auto eventsOnceThereAre = [&](size_t count) {
        json events;
        for (int i = 0; i < kHangGuardPolls; ++i) {
            events = app.waitForKey("events").value_or(json::array());
            if (events.size() >= count) break;
            std::this_thread::sleep_for(50ms);
        }
        return events;
    };
    app.start(args);
    ASSERT_TRUE(app.waitForKey("started")) << app.stored("error").value_or("");
    EXPECT_EQ(app.waitForKey("beforeStart"), json(0))
        << "nothing is delivered before the page asks";
    EXPECT_EQ(eventsOnceThereAre(names.size()), expected) << "the files named at launch";

    std::ofstream(app.root() / "later.wav") << "x";
    EXPECT_EQ(app.runAnother({(app.root() / "later.wav").string()}), 0);
    EXPECT_EQ(app.runAnother({"lumetta://command/open?x=1"}), 0);
    EXPECT_EQ(app.runAnother({"lumetta://command/open"}), 0) << "no query: ignored";
    EXPECT_EQ(app.runAnother({"lumetta://command/select?name=a%20b&id=7"}), 0);
    expected.push_back("app\fcommand\fopen\f" + (app.root() / "later.wav").string());
    expected.push_back("app\fcommand\fopen\fx=1");
    expected.push_back("app\fcommand\fselect\fname=a%20b&id=7");
    EXPECT_EQ(eventsOnceThereAre(expected.size()), expected) << "handed over by a second launch";
    EXPECT_TRUE(app.running()) << "the second launch must not start a second window";
}

TEST(AppFunctional, ReloadSwitchesDeliveryOffUntilThePageIsReady) {
    AppProcess app;
    app.start({pageArg(app, "reload.html")});
    auto result = app.waitForKey("reload");
    ASSERT_TRUE(result) << app.stored("error").value_or("");
    EXPECT_EQ(result->at("before"), 0) << "an event queued after the reload waited";
    EXPECT_EQ(result->at("after"), json({"store\frestorefailed"}));
}

TEST(AppFunctional, LinkToAnArchiveBecomesADownloadEventAndThePageStays) {
    AppProcess app;
    std::ofstream(app.page("archive.zip"), std::ios::binary)
        << std::string("PK\x05\x06", 4) << std::string(18, '\0');
    app.start({pageArg(app, "download.html")});
    auto result = app.waitForKey("download");
    ASSERT_TRUE(result) << app.stored("error").value_or("");
    ASSERT_EQ(result->at("downloads").size(), 1u);
    EXPECT_EQ(result->at("downloads")[0], "file://" + app.page("archive.zip").string());
    EXPECT_EQ(result->at("loads"), 1) << "the page was not replaced";
}

TEST(AppFunctional, CloseButtonAsksThePageAndExitEndsTheProcess) {
    AppProcess app;
    app.start({pageArg(app, "exit.html")});
    ASSERT_TRUE(app.waitForKey("ready")) << app.stored("error").value_or("");
    ASSERT_TRUE(app.closeWindow());
    auto first = app.waitForKey("exitRequests");
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, json({"app\fcommand\fexit\f"})) << "the exit event's last field is empty";
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(app.running()) << "the window stays until the page agrees";
    ASSERT_TRUE(app.closeWindow());
    EXPECT_EQ(app.waitForExit(10s), 0);
    auto frame = app.stored("mainWindow");
    ASSERT_TRUE(frame) << "the window frame is saved on the way out";
    int width = 0, height = 0, maximized = -1;
    EXPECT_EQ(std::sscanf(frame->c_str(), "%d %d %d", &width, &height, &maximized), 3) << *frame;
    EXPECT_GT(width, 0);
    EXPECT_GT(height, 0);
}

TEST(AppFunctional, NewWindowsGoToTheDefaultBrowser) {
    AppProcess app;
    // A stand-in browser registered as the default for https in the private home.
    auto opened = app.root() / "opened.txt";
    std::filesystem::create_directories(app.root() / "data" / "applications");
    std::ofstream(app.root() / "data" / "applications" / "test-browser.desktop")
        << "[Desktop Entry]\nType=Application\nName=Test "
           "Browser\nMimeType=x-scheme-handler/https;\n"
        << "Exec=/bin/sh -c 'printf %s \"$1\" > " << opened.string() << "' browser %u\n";
    std::ofstream(app.root() / "config" / "mimeapps.list")
        << "[Default Applications]\nx-scheme-handler/https=test-browser.desktop\n";
    app.start({pageArg(app, "newwindow.html")});
    auto result = app.waitForKey("newwindow");
    ASSERT_TRUE(result) << app.stored("error").value_or("");
    EXPECT_EQ(result->at("returned"), "null") << "no window is returned to the script";
    EXPECT_EQ(result->at("still"), true);
    std::string url;
    for (int i = 0; i < kHangGuardPolls && url.empty(); ++i) {
        std::this_thread::sleep_for(50ms);
        std::ifstream in(opened);
        std::getline(in, url);
    }
    EXPECT_EQ(url, "https://lumetta.invalid/page?x=1");
}

TEST(AppFunctional, MidiLoopbackCarriesANoteAndALongSysexToThePage) {
    AppProcess app;
    app.start({"--virtual-midi", pageArg(app, "midi.html")});
    auto result = app.waitForKey("midi");
    ASSERT_TRUE(result) << app.stored("error").value_or("");
    EXPECT_EQ(result->at("sent"), json({"v", "v"}));
    auto& messages = result->at("messages");
    ASSERT_EQ(messages.size(), 2u) << messages.dump();
    EXPECT_EQ(messages[0]["hex"], "903C64");
    // Sent in two pieces of at most 512 bytes; received as one SysEx of at most 512 bytes: F0, the
    // first 510 data bytes and F7.
    std::string sent = result->at("sysex");
    ASSERT_EQ(sent.size(), 1200u);
    EXPECT_EQ(messages[1]["hex"], sent.substr(0, 2 + 510 * 2) + "F7");
    EXPECT_LE(messages[0]["ts"].get<double>(), messages[1]["ts"].get<double>());
}

TEST(AppFunctional, ImpulseResponseCommandsReportToThePage) {
    AppProcess app;
    // Half a second of a 48 kHz 24-bit cabinet, long enough that the second start finds the
    // first still running.
    const lumetta::ir::test::IrShape cab{
        "cab", 1, 1, 48000, 24, 24000, lumetta::ir::test::IrLayout::plain};
    const auto bytes =
        lumetta::ir::test::shapedWavFile(cab, lumetta::ir::test::cabinetSamples(cab));
    std::ofstream(app.page("cab.wav"), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    app.start({pageArg(app, "ir.html")});
    auto events = app.waitForKey("ir", std::chrono::seconds(90));
    ASSERT_TRUE(events) << app.stored("error").value_or("");
    ASSERT_GE(events->size(), 4u) << events->dump();
    auto& stat = (*events)[0];
    EXPECT_EQ(stat["name"], "wavstat");
    EXPECT_EQ(stat["dict"]["result"], 1);
    EXPECT_EQ(stat["dict"]["channels"], 1);
    EXPECT_EQ(stat["dict"]["sampleRate"], 48000);
    EXPECT_EQ((*events)[1]["dict"]["result"], 1) << "the conversion started";
    EXPECT_EQ((*events)[2]["dict"], json({{"load", "busy"}, {"result", 0}}))
        << "a second one is refused";
    auto& last = events->back();
    ASSERT_EQ(last["dict"]["load"], "finished") << events->dump();
    std::string out = last["dict"]["path"];
    EXPECT_EQ(std::filesystem::path(out).filename(), "KLD00000.tmp");
    EXPECT_EQ(out.rfind((app.root() / "runtime").string(), 0), 0u)
        << "in the private temporary folder: " << out;
    auto size = std::filesystem::file_size(out);
    EXPECT_GT(size, 55u * 4);
    EXPECT_EQ((size / 4 - 55) % 2, 0u) << "55 + 2T floats";
}

TEST(AppFunctional, ThePluginOptionShowsTheBundledPluginPage) {
    AppProcess app;
    app.start({"--plugin"});
    EXPECT_EQ(app.waitForWindowTitle("Lumetta Plugin"), "Lumetta Plugin");
    EXPECT_TRUE(app.running());
}
