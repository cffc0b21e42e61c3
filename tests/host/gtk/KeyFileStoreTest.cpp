#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "host/gtk/KeyFileStore.h"

namespace fs = std::filesystem;
using lumetta::host::KeyFileStore;

namespace {
struct TempDir {
    TempDir() {
        char templ[] = "/tmp/lumetta-store-XXXXXX";
        path = mkdtemp(templ);
    }
    ~TempDir() { fs::remove_all(path); }
    fs::path path;
};
}  // namespace

TEST(KeyFileStore, ValuesSurviveReloadWithAnyKeyText) {
    TempDir dir;
    std::string file = (dir.path / "sub" / "store.ini").string();
    const std::string keys[] = {"pref", "a=b", "[group]", " spaced ", "line\nbreak", "\xC3\xA9"};
    {
        KeyFileStore store(file);
        EXPECT_FALSE(store.get("pref"));
        for (auto& k : keys) EXPECT_TRUE(store.set(k, "value of " + k + "\nwith ; # = [x]"));
    }
    KeyFileStore again(file);
    for (auto& k : keys) EXPECT_EQ(again.get(k), "value of " + k + "\nwith ; # = [x]") << k;
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the page's settings are private";
}

TEST(KeyFileStore, AWriteReplacesTheFileWhole) {
    TempDir dir;
    std::string file = (dir.path / "store.ini").string();
    KeyFileStore store(file);
    ASSERT_TRUE(store.set("pref", "one"));
    auto inode = fs::status(file).permissions();
    (void)inode;
    struct stat before {};
    stat(file.c_str(), &before);
    ASSERT_TRUE(store.set("pref", "two"));
    struct stat after {};
    stat(file.c_str(), &after);
    EXPECT_NE(before.st_ino, after.st_ino) << "written beside and renamed, never in place";
    for (auto& entry : fs::directory_iterator(dir.path))
        EXPECT_EQ(entry.path().filename(), "store.ini") << "no temporary file left behind";
}

TEST(KeyFileStore, UnwritableLocationReportsFailure) {
    TempDir dir;
    std::ofstream(dir.path / "file") << "x";
    KeyFileStore store((dir.path / "file" / "store.ini").string());
    EXPECT_FALSE(store.set("pref", "x"));
    EXPECT_FALSE(store.set("pref", std::string("\xff")));
}
