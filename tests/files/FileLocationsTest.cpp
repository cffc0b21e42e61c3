#include <gtest/gtest.h>
#include <sys/stat.h>

#include "files/FakeDesktop.h"
#include "files/FileLocations.h"
#include "files/TestHome.h"
#include "host/Locations.h"

namespace lumetta::files {
namespace {

using test::testHome;

TEST(Locations, HomeInAnyCaseAndDocumentsForEverythingElse) {
    test::FakeDesktop desktop;
    desktop.folders[UserFolder::documents] = testHome() + "Docs";
    EXPECT_EQ(locationDirectory(std::string("HOME"), desktop), testHome());
    EXPECT_EQ(locationDirectory(std::string("Home"), desktop), testHome());
    EXPECT_EQ(locationDirectory(std::string("desktop"), desktop), testHome() + "Docs/");
    EXPECT_EQ(locationDirectory(std::nullopt, desktop), testHome() + "Docs/");
    EXPECT_EQ(locationDirectory(std::string("Documents"), desktop), testHome() + "Docs/");
}

TEST(Locations, MissingOrDisabledFoldersFallBackToDocuments) {
    test::FakeDesktop desktop;
    desktop.folders[UserFolder::documents] = testHome() + "Docs";
    desktop.folders[UserFolder::music] = testHome() + "Music";
    desktop.folders[UserFolder::downloads] = testHome();  // turned off
    EXPECT_EQ(locationDirectory(std::string("music"), desktop), testHome() + "Music/");
    EXPECT_EQ(locationDirectory(std::string("downloads"), desktop), testHome() + "Docs/");
    EXPECT_EQ(locationDirectory(std::string("pictures"), desktop), testHome() + "Docs/");
}

TEST(Locations, DocumentsNeverBecomesHome) {
    test::FakeDesktop desktop;
    desktop.folders[UserFolder::documents] = testHome();
    EXPECT_EQ(documentsDirectory(desktop), testHome() + "Documents/");
    test::FakeDesktop none;
    EXPECT_EQ(documentsDirectory(none), testHome() + "Documents/");
}

TEST(Locations, LibraryIsCreatedUnderTheDataHome) {
    test::FakeDesktop desktop;
    std::string library = locationDirectory(std::string("library"), desktop);
    EXPECT_EQ(library, testHome() + ".local/share/com.velmar.lumetta/");
    struct stat st {};
    EXPECT_EQ(stat(library.c_str(), &st), 0);
}

TEST(Locations, TemporaryIsPrivateToTheUser) {
    test::FakeDesktop desktop;
    std::string temporary = locationDirectory(std::string("temporary"), desktop);
    EXPECT_EQ(temporary.back(), '/');
    EXPECT_EQ(temporary.rfind(testHome(), 0), 0u) << temporary;
    struct stat st {};
    ASSERT_EQ(stat(temporary.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, getuid());
}

TEST(Locations, BundleIsTheDirectoryTheApplicationSet) {
    test::FakeDesktop desktop;
    host::setBundleDirectory("/opt/lumetta/resources");
    EXPECT_EQ(locationDirectory(std::string("bundle"), desktop), "/opt/lumetta/resources/");
    host::setBundleDirectory("");
    EXPECT_EQ(locationDirectory(std::string("bundle"), desktop).back(), '/');
}

}  // namespace
}  // namespace lumetta::files
