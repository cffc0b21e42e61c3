// The page library's helpers in the real application: every malformed argument is refused
// before anything is called, unknown function names are refused on every channel, the raw
// protocol answers exactly as before, and the example editor page works end to end.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "AppProcess.h"

using lumetta::test::AppProcess;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

void expectRefused(const json& r, const std::string& key, const std::string& kind,
                   const std::string& words) {
    ASSERT_TRUE(r.contains(key)) << key;
    const json& o = r.at(key);
    EXPECT_FALSE(o.at("ok").get<bool>()) << key << ": " << o.dump();
    if (!kind.empty()) {
        EXPECT_EQ(o.value("kind", ""), kind) << key << ": " << o.dump();
        EXPECT_NE(o.value("message", "").find(words), std::string::npos) << key << ": " << o.dump();
    }
}

}  // namespace

TEST(PageKit, HelpersRefuseMistakesAndTheRawProtocolIsUnchanged) {
    AppProcess app;
    app.start({"--virtual-midi", "--page=" + app.page("kit.html").string()});
    auto r = app.waitForKey("kit", std::chrono::seconds(60));
    ASSERT_TRUE(r) << app.stored("error").value_or("");

    // Unknown names: refused by the library on all three calling channels...
    expectRefused(*r, "unknownCall", "TypeError", "no function $$nonexistent_fn");
    expectRefused(*r, "unknownSync", "TypeError", "no function $$nonexistent_fn");
    expectRefused(*r, "unknownXhr", "TypeError", "no function $$nonexistent_fn");
    // ...while the raw protocol answers as it always did.
    EXPECT_EQ(r->at("rawUnknown"), "v");
    EXPECT_EQ(r->at("rawBadHexSend"), "v");
    auto names = r->at("functions").get<std::vector<std::string>>();
    EXPECT_NE(std::find(names.begin(), names.end(), "$$midi_send"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "$$app_functions"), names.end());

    // MIDI: malformed bytes are refused, well-formed ones (blanks allowed) arrive intact.
    expectRefused(*r, "badHex", "TypeError", "hexadecimal");
    expectRefused(*r, "oddHex", "TypeError", "hexadecimal");
    expectRefused(*r, "badByte", "TypeError", "0..255");
    expectRefused(*r, "tooLong", "TypeError", "512");
    EXPECT_TRUE(r->at("goodSend").at("ok").get<bool>()) << r->at("goodSend");
    auto received = r->at("received").get<std::vector<std::string>>();
    // The raw "zz" went out as the byte 00, as the protocol says; the helper's "C0 05" intact.
    EXPECT_NE(std::find(received.begin(), received.end(), "C005"), received.end())
        << r->at("received");
    EXPECT_EQ(std::count(received.begin(), received.end(), "C000"), 0) << r->at("received");

    // Shell: argv arrays only; output and its end.
    expectRefused(*r, "shellString", "TypeError", "array of words");
    expectRefused(*r, "shellEmpty", "TypeError", "array of words");
    ASSERT_TRUE(r->at("shellRun").at("ok").get<bool>()) << r->at("shellRun");
    // Each word reaches the program as given: no shell splitting or expansion.
    EXPECT_EQ(r->at("shellRun").at("value").at("output"), R"(it's a $HOME|a\nb)");
    EXPECT_GT(r->at("shellRun").at("value").at("pid").get<int>(), 0);

    // Panel and settings.
    expectRefused(*r, "placeGarbage", "TypeError", "must be an object");
    expectRefused(*r, "placeHalf", "TypeError", "width");
    expectRefused(*r, "panelSend", "TypeError", "string");
    expectRefused(*r, "storeNoKey", "TypeError", "key");
    expectRefused(*r, "storeNotText", "TypeError", "JSON.stringify");
    EXPECT_EQ(r->at("storeRoundTrip").at("value"), "é'\"\\");
    EXPECT_EQ(app.stored("kit.pref").value_or(""), "é'\"\\");

    // Files: bytes as Uint8Array, text exactly, failures carry the reason.
    expectRefused(*r, "writeBad", "TypeError", "hexadecimal");
    expectRefused(*r, "readOptionsBad", "TypeError", "offset");
    EXPECT_EQ(r->at("bytes").at("value"), json({1, 2, 254}));
    EXPECT_EQ(r->at("text").at("value"), "line 1\nzwei €");
    expectRefused(*r, "missingFile", "Error", "$$fs_readString: ");

    // Conversion and events.
    expectRefused(*r, "irNoPath", "TypeError", "path");
    expectRefused(*r, "irMissing", "Error", "cannot convert");
    expectRefused(*r, "onceTimeout", "Error", "no sh stdout event within 50 ms");

    // The panel resolves a relative address against the page, and names a failure's code.
    EXPECT_EQ(r->at("panelLoad").at("value"), "loaded") << r->at("panelLoad");
    ASSERT_FALSE(r->at("panelMissingHost").at("ok").get<bool>())
        << r->at("panelMissingHost") << " codes " << r->at("zevCodes") << r->at("codesBeforeLoad")
        << r->at("codesAfterLoad");
    EXPECT_NE(r->at("panelMissingHost")
                  .at("message")
                  .get<std::string>()
                  .find("no-such-page.html failed (256)"),
              std::string::npos);
}

TEST(PageKit, TheExampleEditorPageWorksInTheApplication) {
    AppProcess app;
    // The example loads the page library from the source tree's layout.
    fs::create_directories(app.root() / "examples");
    fs::copy(LUMETTA_EXAMPLES "/editor", app.root() / "examples" / "editor",
             fs::copy_options::recursive);
    fs::create_directories(app.root() / "resources" / "html");
    fs::copy_file(LUMETTA_PAGE_LIBRARY, app.root() / "resources" / "html" / "lumetta.js");
    app.start({"--virtual-midi",
               "--page=" + (app.root() / "examples" / "editor" / "index.html").string()});
    auto r = app.waitForKey("editor-example", std::chrono::seconds(120));
    ASSERT_TRUE(r) << app.stored("error").value_or("no report");
    for (const char* card : {"midi", "settings", "file", "shell", "ir", "panel"}) {
        ASSERT_TRUE(r->contains(card)) << card << " " << r->dump();
        EXPECT_TRUE(r->at(card).at("ok").get<bool>()) << card << ": " << r->at(card).dump();
    }
    EXPECT_EQ(r->at("midi").at("detail").at("hex"), "F07E7F0601F7");
    EXPECT_EQ(r->at("settings").at("detail").at("patch"), "Clean Lead");
    EXPECT_EQ(r->at("file").at("detail").at("header"), json({0x50, 0x41, 0x54, 0x01}));
    EXPECT_EQ(r->at("shell").at("detail").at("output"), "hello from the shell\n");
    EXPECT_GT(r->at("ir").at("detail").at("bytes").get<int>(), 0);
    EXPECT_EQ(r->at("ir").at("detail").at("bytes").get<int>() % 4, 0);
    EXPECT_EQ(r->at("panel").at("detail").at("outcome"), "loaded");
    EXPECT_EQ(r->at("panel").at("detail").at("answer"),
              "help got: it's \"quoted\"\nand on two lines");
    // The parameter file the page read is the one the conversion wrote.
    auto path = r->at("ir").at("detail").at("path").get<std::string>();
    EXPECT_EQ(static_cast<int>(fs::file_size(path)),
              r->at("ir").at("detail").at("bytes").get<int>());
}

// Every console panel builds in the real application without a script error: panels share
// helpers from console.js, and a mistake there shows only when a tab is opened.
TEST(PageKit, EveryConsolePanelOpensWithoutAScriptError) {
    AppProcess app;
    const auto console = app.root() / "console";
    fs::copy(LUMETTA_CONSOLE_DIR, console, fs::copy_options::recursive);
    fs::copy_file(app.page("console-tabs-driver.js"), console / "driver.js");
    std::ifstream in(console / "index.html");
    std::string index((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    const auto body = index.rfind("</body>");
    ASSERT_NE(body, std::string::npos);
    index.insert(body, "<script src=\"driver.js\"></script>\n");
    std::ofstream(console / "index.html") << index;

    app.start({"--virtual-midi", "--page=" + (console / "index.html").string()});
    auto r = app.waitForKey("tabs", std::chrono::seconds(60));
    ASSERT_TRUE(r) << app.stored("error").value_or("");
    EXPECT_GE(r->at("panels").size(), 10u) << r->dump();
    for (auto& [title, state] : r->at("panels").items()) EXPECT_EQ(state, "built") << title;
    EXPECT_EQ(r->at("errors"), json::array()) << r->dump();
}
