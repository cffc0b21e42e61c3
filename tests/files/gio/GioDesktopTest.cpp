#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "bridge/MainThread.h"
#include "files/FileLocations.h"
#include "files/TestHome.h"
#include "files/gio/GioDesktop.h"

namespace lumetta::files {
namespace {

using test::testHome;

class SameThread final : public bridge::MainThread {
  public:
    void post(std::function<void()> task) override { task(); }
    bool isCurrent() const override { return true; }
};

class GioDesktopTest : public ::testing::Test {
  protected:
    SameThread main;
    GioDesktop desktop{main};
};

TEST_F(GioDesktopTest, UserFoldersComeFromTheUsersXdgConfiguration) {
    EXPECT_EQ(desktop.userFolder(UserFolder::documents), testHome() + "Docs");
    EXPECT_EQ(desktop.userFolder(UserFolder::movies), testHome() + "Videos");
    EXPECT_EQ(locationDirectory(std::string("downloads"), desktop), testHome() + "Docs/");
}

TEST_F(GioDesktopTest, VolumesStartWithTheRoot) {
    auto volumes = desktop.volumes();
    ASSERT_FALSE(volumes.empty());
    EXPECT_EQ(volumes[0].mount, "/");
    auto table = GioDesktop::volumesFromMountTable();
    ASSERT_FALSE(table.empty());
    EXPECT_EQ(table[0].mount, "/");
}

TEST_F(GioDesktopTest, UnmountingWhatIsNoVolumeReportsAFailure) {
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

TEST_F(GioDesktopTest, AUrlWithoutAHandlerOpensNothing) {
    EXPECT_FALSE(desktop.openWithDefault("x-lumetta-no-handler:thing"));
}

}  // namespace
}  // namespace lumetta::files
