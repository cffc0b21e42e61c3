#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

#include "bridge/NativeCall.h"
#include "files/FakeDesktop.h"
#include "files/TestHome.h"
#include "modules/fs/FsModule.h"
#include "support/TestServices.h"

namespace lumetta::modules::fs {
namespace {

using test::fileContent;
using test::putFile;
using test::ScratchDir;
using test::testHome;

class FsModuleTest : public ::testing::Test {
  protected:
    FsModuleTest() {
        std::filesystem::create_directories(documents);
        native = std::make_unique<bridge::NativeCall>(
            host.services,
            std::vector<bridge::ModuleDescriptor>{descriptor([this](bridge::Services&) {
                Platform platform;
                auto fakeDesktop = std::make_unique<test::FakeDesktop>();
                fakeDesktop->folders[files::UserFolder::documents] = documents;
                fakeDesktop->volumeList = {{"/", std::string("Filesystem root")},
                                           {"/media/stick", std::nullopt}};
                auto fakeDialogs = std::make_unique<test::FakeDialogs>();
                desktop = fakeDesktop.get();
                dialogs = fakeDialogs.get();
                platform.desktop = std::move(fakeDesktop);
                platform.dialogs = std::move(fakeDialogs);
                return platform;
            })});
        native->setWindow(&window);
    }

    std::string call(const char* name, bridge::Arg a1 = std::nullopt,
                     bridge::Arg a2 = std::nullopt) {
        return native->call(name, a1, a2);
    }
    std::vector<std::string> events() {
        std::vector<std::string> out;
        while (auto e = native->queue().take()) out.push_back(*e);
        return out;
    }

    std::string documents = testHome() + "Docs-fs/";
    test::TestHost host;
    test::FakeDesktop* desktop = nullptr;
    test::FakeDialogs* dialogs = nullptr;
    int window = 0;
    std::unique_ptr<bridge::NativeCall> native;
};

TEST_F(FsModuleTest, SeparatorAndPaths) {
    EXPECT_EQ(call("$$fs_separator"), "s/");
    EXPECT_EQ(call("$$fs_path", "home"), "s" + testHome());
    EXPECT_EQ(call("$$fs_path"), "s" + documents);
    EXPECT_EQ(call("$$fs_path", "desktop"), "s" + documents);
}

TEST_F(FsModuleTest, VolumesAreJsonRecordsWithoutANameWhenThereIsNone) {
    std::string result = call("$$fs_volumes");
    ASSERT_EQ(result[0], 's');
    auto json = nlohmann::json::parse(result.substr(1));
    ASSERT_EQ(json.size(), 2u);
    EXPECT_EQ(json[0]["mount"], "/");
    EXPECT_EQ(json[0]["volume"], "Filesystem root");
    EXPECT_FALSE(json[1].contains("volume"));
}

TEST_F(FsModuleTest, ContentsAndStatAsJson) {
    ScratchDir dir;
    for (auto name : {"a.wav", "b.WAV", "c.txt"}) putFile(dir / name, "x");
    auto listed = nlohmann::json::parse(call("$$fs_contents", dir.path(), "wav").substr(1));
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["name"], "c.txt");
    EXPECT_EQ(nlohmann::json::parse(call("$$fs_contents", dir.path(), "").substr(1)).size(), 3u);
    EXPECT_EQ(nlohmann::json::parse(call("$$fs_contents", dir.path()).substr(1)).size(), 3u);
    EXPECT_EQ(call("$$fs_stat", dir / "missing"), "eNo such file or directory");
    auto stat = nlohmann::json::parse(call("$$fs_stat", dir.path()).substr(1));
    EXPECT_EQ(stat["size"], 0);
    EXPECT_EQ(stat["directory"], true);
}

TEST_F(FsModuleTest, WritesAndReadsThroughTheBridge) {
    ScratchDir dir;
    putFile(dir / "f", "a much longer old content");
    EXPECT_EQ(call("$$fs_writeString", dir / "f", "new"), "s");
    EXPECT_EQ(fileContent(dir / "f"), "new");
    EXPECT_EQ(call("$$fs_appendString", dir / "g", "text"), "s");
    EXPECT_EQ(fileContent(dir / "g"), "text");
    EXPECT_EQ(call("$$fs_writeData", dir / "h", "48656C6C6F"), "s");
    EXPECT_EQ(fileContent(dir / "h"), "Hello");
    EXPECT_EQ(call("$$fs_appendData", dir / "h", "21"), "s");
    EXPECT_EQ(call("$$fs_readString", dir / "h"), "sHello!");
    EXPECT_EQ(call("$$fs_writeData", dir / "h", "4"), "s");
    EXPECT_EQ(fileContent(dir / "h"), "");
    EXPECT_EQ(call("$$fs_writeString", dir / "none/f", "x"), "eFailed to create file.");

    putFile(dir / "bytes", std::string("\x00\x01\x02\x03\x04\x05", 6));
    EXPECT_EQ(call("$$fs_readData", dir / "bytes"), "s000102030405");
    EXPECT_EQ(call("$$fs_readData", dir / "bytes", R"({"offset":2,"length":3})"), "s020304");
    EXPECT_EQ(call("$$fs_readData", dir / "bytes", R"({"offset":"4","length":99})"), "s0405");
    EXPECT_EQ(call("$$fs_readData", dir / "bytes", R"({"offset":2})"), "s");
    EXPECT_EQ(call("$$fs_readData", dir / "missing", "{}"), "eNo such file or directory");
}

TEST_F(FsModuleTest, FileOperationsAnswerSOrE) {
    ScratchDir dir;
    EXPECT_EQ(call("$$fs_mkdir", dir / "a/b"), "s");
    EXPECT_EQ(call("$$fs_mkdir", dir / "a/b"), "s");
    putFile(dir / "a/b/f", "x");
    EXPECT_EQ(call("$$fs_copy", dir / "a", dir / "c"), "s");
    EXPECT_EQ(call("$$fs_copy", dir / "a", dir / "c"), "eFile exists");
    EXPECT_EQ(call("$$fs_move", dir / "c", dir / "d"), "s");
    EXPECT_EQ(call("$$fs_unlink", dir / "d"), "s");
    EXPECT_EQ(call("$$fs_unlink", dir / "d"), "eNo such file or directory");
    EXPECT_EQ(call("$$fs_unzip", dir / "none.zip", dir / "out"), "eunzip failed.");
    EXPECT_EQ(call("$$fs_unzip"), "eunzip failed.");
}

TEST_F(FsModuleTest, ExecOpensOnTheMainThreadAndAnswersV) {
    EXPECT_EQ(call("$$fs_exec", "/tmp/x.wav"), "v");
    EXPECT_EQ(call("$$fs_exec"), "v");
    EXPECT_TRUE(desktop->opened.empty());
    host.mainThread.runPending();
    EXPECT_EQ(desktop->opened, std::vector<std::string>{"/tmp/x.wav"});
}

TEST_F(FsModuleTest, DeleteMediaFileRemovesFromDocumentsWhateverFolderIsNamed) {
    ScratchDir other;
    putFile(other / "take1.wav", "elsewhere");
    putFile(documents + "take1.wav", "media");
    EXPECT_EQ(call("$$fs_deletemediafile", other / "take1.wav"), "s");
    EXPECT_FALSE(std::filesystem::exists(documents + "take1.wav"));
    EXPECT_EQ(fileContent(other / "take1.wav"), "elsewhere");
    EXPECT_EQ(call("$$fs_deletemediafile", "take1.wav"), "eNo such file or directory");
}

TEST_F(FsModuleTest, DeleteMediaFileRefusesNamesThatAreNotOneItem) {
    putFile(documents + "keep.wav", "media");
    for (const char* name : {"..", "/some/dir/..", ".", "/some/dir/.", "", "/", "///"}) {
        EXPECT_EQ(call("$$fs_deletemediafile", name).substr(0, 1), "e") << name;
    }
    EXPECT_EQ(call("$$fs_deletemediafile"), "eInvalid media file name.");
    EXPECT_EQ(fileContent(documents + "keep.wav"), "media");
    EXPECT_TRUE(std::filesystem::is_directory(testHome()));
}

TEST_F(FsModuleTest, OpenDialogGetsExtensionsAndFolderAndPostsThePath) {
    EXPECT_EQ(call("$$fs_openfilename", R"(["wav","aif"])", "/start"), "v");
    EXPECT_TRUE(dialogs->shown.empty()) << "dialogs start on the main thread";
    host.mainThread.runPending();
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_EQ(dialogs->parent, &window);
    EXPECT_EQ(dialogs->shown[0].kind, files::DialogRequest::Kind::open);
    EXPECT_EQ(dialogs->shown[0].extensions, (std::vector<std::string>{"wav", "aif"}));
    EXPECT_EQ(dialogs->shown[0].folder, "/start");
    dialogs->answer("/start/a.wav");
    EXPECT_EQ(events(), std::vector<std::string>{"fs\fopenfilename\f/start/a.wav"});
}

TEST_F(FsModuleTest, OpenDialogWithoutAListIgnoresTheFolderAndCancelPostsAnEmptyPath) {
    call("$$fs_openfilename", std::nullopt, "/start");
    call("$$fs_openfilename", "not json", "/start");
    host.mainThread.runPending();
    ASSERT_EQ(dialogs->shown.size(), 1u) << "the second waits for the first";
    EXPECT_TRUE(dialogs->shown[0].extensions.empty());
    EXPECT_EQ(dialogs->shown[0].folder, "");
    dialogs->answer("");
    ASSERT_EQ(dialogs->shown.size(), 2u);
    EXPECT_EQ(dialogs->shown[1].folder, "");
    dialogs->answer("");
    EXPECT_EQ(events(), (std::vector<std::string>{"fs\fopenfilename\f", "fs\fopenfilename\f"}));
}

TEST_F(FsModuleTest, OpenDialogSecondFormUsesTheListDirectly) {
    call("$$fs_openfilenamev2", R"(["mid"])");
    host.mainThread.runPending();
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_EQ(dialogs->shown[0].extensions, std::vector<std::string>{"mid"});
    dialogs->answer("/x.mid");
    EXPECT_EQ(events(), std::vector<std::string>{"fs\fopenfilename\f/x.mid"});
}

TEST_F(FsModuleTest, SaveDialogProposesUntitledOrTheGivenPath) {
    call("$$fs_savefilename", std::nullopt, "wav");
    call("$$fs_savefilename", "/songs/take.wav", "wav");
    host.mainThread.runPending();
    EXPECT_EQ(dialogs->shown[0].kind, files::DialogRequest::Kind::save);
    EXPECT_EQ(dialogs->shown[0].name, "Untitled");
    EXPECT_EQ(dialogs->shown[0].folder, "");
    EXPECT_TRUE(dialogs->shown[0].extensions.empty());
    dialogs->answer("/home/u/Untitled");
    EXPECT_EQ(dialogs->shown[1].name, "take.wav");
    EXPECT_EQ(dialogs->shown[1].folder, "/songs");
    EXPECT_EQ(dialogs->shown[1].extensions, std::vector<std::string>{"wav"});
    dialogs->answer("");
    EXPECT_EQ(events(), (std::vector<std::string>{"fs\fsavefilename\f/home/u/Untitled",
                                                  "fs\fsavefilename\f"}));
}

TEST_F(FsModuleTest, FolderDialogAnswersWithATrailingSlash) {
    call("$$fs_choosefolder", "/start");
    call("$$fs_choosefolder");
    host.mainThread.runPending();
    EXPECT_EQ(dialogs->shown[0].kind, files::DialogRequest::Kind::folder);
    EXPECT_EQ(dialogs->shown[0].folder, "/start");
    dialogs->answer("/start/sub");
    dialogs->answer("");
    EXPECT_EQ(events(),
              (std::vector<std::string>{"fs\fchoosefolder\f/start/sub/", "fs\fchoosefolder\f"}));
}

TEST_F(FsModuleTest, UnmountPostsUnmountedOrUnmountFailed) {
    EXPECT_EQ(call("$$fs_unmount", "/media/stick"), "v");
    host.mainThread.runPending();
    ASSERT_EQ(desktop->unmounts, std::vector<std::string>{"/media/stick"});
    desktop->pendingUnmount(std::nullopt);
    call("$$fs_unmount", "/media/other");
    host.mainThread.runPending();
    desktop->pendingUnmount(std::string("Device busy"));
    EXPECT_EQ(events(), (std::vector<std::string>{"fs\funmounted\f/media/stick",
                                                  "fs\funmountfailed\f/media/other\fDevice busy"}));
    EXPECT_EQ(call("$$fs_openmediafile"), "v");
}

TEST_F(FsModuleTest, WorkScheduledBeforeThePageWentAwayDoesNothing) {
    call("$$fs_choosefolder", "/start");
    native.reset();
    EXPECT_NO_FATAL_FAILURE(host.mainThread.runPending());
}

TEST_F(FsModuleTest, APathWithANulIsRefusedNotCut) {
    ScratchDir dir;
    test::putFile(dir / "a", "secret");
    std::string cut = dir / "a" + std::string(1, '\0') + "ignored";
    for (const char* function : {"$$fs_stat", "$$fs_readString", "$$fs_readData", "$$fs_unlink"})
        EXPECT_EQ(call(function, cut).substr(0, 2), "eI") << function;
    EXPECT_EQ(call("$$fs_writeString", cut, std::string("x")).substr(0, 1), "e");
    EXPECT_EQ(call("$$fs_copy", dir / "a", cut).substr(0, 1), "e");
    EXPECT_EQ(test::fileContent(dir / "a"), "secret") << "the file the cut path names is untouched";
}

TEST_F(FsModuleTest, ANameThatIsNotUtf8KeepsTheListingWhole) {
    ScratchDir dir;
    test::putFile(dir / "good.txt", "1");
    test::putFile(dir / "bad\xff.txt", "2");
    std::string result = call("$$fs_contents", dir.path());
    ASSERT_EQ(result.substr(0, 1), "s");
    auto list = nlohmann::json::parse(result.substr(1));
    ASSERT_EQ(list.size(), 2u) << result;
    std::set<std::string> names;
    for (auto& entry : list) names.insert(entry["name"].get<std::string>());
    EXPECT_EQ(names, (std::set<std::string>{"bad\xEF\xBF\xBD.txt", "good.txt"}));
    std::string stat = call("$$fs_stat", dir / "bad\xff.txt");
    ASSERT_EQ(stat.substr(0, 1), "s");
    EXPECT_EQ(nlohmann::json::parse(stat.substr(1))["size"], 1);
}

}  // namespace
}  // namespace lumetta::modules::fs
