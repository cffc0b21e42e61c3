#include <gtest/gtest.h>

#include "files/PathText.h"

namespace lumetta::files {
namespace {

TEST(PathText, LastComponentIgnoresTrailingSlashes) {
    EXPECT_EQ(lastPathComponent("/a/b/take1.wav"), "take1.wav");
    EXPECT_EQ(lastPathComponent("/a/b/"), "b");
    EXPECT_EQ(lastPathComponent("/"), "/");
    EXPECT_EQ(lastPathComponent(""), "");
    EXPECT_EQ(lastPathComponent("name"), "name");
    EXPECT_EQ(lastPathComponent("/a/.."), "..");
}

TEST(PathText, DeletingTheLastComponent) {
    EXPECT_EQ(deletingLastPathComponent("/a/b"), "/a");
    EXPECT_EQ(deletingLastPathComponent("/a"), "/");
    EXPECT_EQ(deletingLastPathComponent("a"), "");
    EXPECT_EQ(deletingLastPathComponent("/a/b/"), "/a");
    EXPECT_EQ(deletingLastPathComponent("Untitled"), "");
}

TEST(PathText, ExtensionsAndHiddenFiles) {
    EXPECT_EQ(pathExtension("a.wav"), "wav");
    EXPECT_EQ(pathExtension("a.tar.gz"), "gz");
    EXPECT_EQ(pathExtension(".profile"), "");
    EXPECT_EQ(pathExtension("noext"), "");
    EXPECT_EQ(pathExtension("dot."), "");
    EXPECT_TRUE(equalsIgnoringCase("WAV", "wav"));
    EXPECT_FALSE(equalsIgnoringCase("wav", "wave"));
}

TEST(PathText, SingleItemNamesRefuseFolderReferences) {
    EXPECT_TRUE(isSingleItemName("take1.wav"));
    EXPECT_TRUE(isSingleItemName("..."));
    EXPECT_FALSE(isSingleItemName(""));
    EXPECT_FALSE(isSingleItemName("."));
    EXPECT_FALSE(isSingleItemName(".."));
    EXPECT_FALSE(isSingleItemName("/"));
    EXPECT_FALSE(isSingleItemName("a/b"));
}

TEST(PathText, TrailingSlash) {
    EXPECT_EQ(withTrailingSlash("/a"), "/a/");
    EXPECT_EQ(withTrailingSlash("/a/"), "/a/");
    EXPECT_EQ(withTrailingSlash("/"), "/");
}

}  // namespace
}  // namespace lumetta::files
