#include <gtest/gtest.h>
#include <sys/stat.h>

#include "bridge/MainThread.h"
#include "files/FakeDesktop.h"
#include "files/FileLocations.h"
#include "files/TestHome.h"
#include "files/gio/GioDesktop.h"
#include "host/Locations.h"

namespace lumetta::files {
namespace {

using test::testHome;

class SameThread final : public bridge::MainThread {
  public:
    void post(std::function<void()> task) override { task(); }
    bool isCurrent() const override { return true; }
};

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

TEST(GioDesktop, UserFoldersComeFromTheUsersXdgConfiguration) {
    SameThread main;
    GioDesktop desktop(main);
    EXPECT_EQ(desktop.userFolder(UserFolder::documents), testHome() + "Docs");
    EXPECT_EQ(desktop.userFolder(UserFolder::movies), testHome() + "Videos");
    EXPECT_EQ(locationDirectory(std::string("downloads"), desktop), testHome() + "Docs/");
}

TEST(GioDesktop, VolumesStartWithTheRoot) {
    SameThread main;
    GioDesktop desktop(main);
    auto volumes = desktop.volumes();
    ASSERT_FALSE(volumes.empty());
    EXPECT_EQ(volumes[0].mount, "/");
    auto table = GioDesktop::volumesFromMountTable();
    ASSERT_FALSE(table.empty());
    EXPECT_EQ(table[0].mount, "/");
}

TEST(GioDesktop, UnmountingWhatIsNoVolumeReportsAFailure) {
    SameThread main;
    GioDesktop desktop(main);
    std::optional<std::string> error;
    bool called = false;
    desktop.unmount(testHome(), [&](std::optional<std::string> e) {
        called = true;
        error = std::move(e);
    });
    for (int i = 0; i < 100 && !called; ++i) g_main_context_iteration(nullptr, FALSE);
    ASSERT_TRUE(called);
    EXPECT_TRUE(error && !error->empty());
}

TEST(GioDesktop, AUrlWithoutAHandlerOpensNothing) {
    SameThread main;
    GioDesktop desktop(main);
    EXPECT_FALSE(desktop.openWithDefault("x-lumetta-no-handler:thing"));
}

}  // namespace
}  // namespace lumetta::files
