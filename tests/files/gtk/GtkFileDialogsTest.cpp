// Real GTK file choosers under a display: each dialog is opened through the bridge, answered
// the way a user would (cancel, or pick an item and accept), and its event checked.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "base/raii/GCharPtr.h"
#include "base/raii/GObjectPtr.h"
#include "bridge/NativeCall.h"
#include "files/TestHome.h"
#include "modules/fs/FsModule.h"
#include "support/TestServices.h"

namespace lumetta::modules::fs {
namespace {

using raii::GCharPtr;
using raii::GObjectPtr;
using test::putFile;
using test::ScratchDir;

G_GNUC_BEGIN_IGNORE_DEPRECATIONS

class GtkFileDialogsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        g_set_prgname("lumetta-fs-tests");
        g_set_application_name("Lumetta tests");
        if (!gtk_init_check()) GTEST_SKIP() << "no display";
    }

    GtkFileDialogsTest() {
        if (!gdk_display_get_default()) return;
        window = gtk_window_new();
        gtk_window_present(GTK_WINDOW(window));
        native = std::make_unique<bridge::NativeCall>(
            host.services, std::vector<bridge::ModuleDescriptor>{descriptor()});
        native->setWindow(window);
    }
    ~GtkFileDialogsTest() override {
        native.reset();
        if (window) gtk_window_destroy(GTK_WINDOW(window));
        pump([] { return false; }, std::chrono::milliseconds(50));
    }

    // Runs posted work and the GTK main context until `done` or the time is up.
    bool pump(const std::function<bool()>& done,
              std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            host.mainThread.runPending();
            while (g_main_context_iteration(nullptr, FALSE)) {
            }
            if (done()) return true;
            g_usleep(2000);
        }
        return done();
    }

    // The file chooser windows that are showing now.
    static std::vector<GtkWidget*> choosers() {
        std::vector<GtkWidget*> out;
        GListModel* toplevels = gtk_window_get_toplevels();
        for (guint i = 0; i < g_list_model_get_n_items(toplevels); ++i) {
            GObjectPtr<GtkWidget> w(static_cast<GtkWidget*>(g_list_model_get_item(toplevels, i)));
            if (GTK_IS_FILE_CHOOSER(w.get()) && gtk_widget_get_visible(w.get()))
                out.push_back(w.get());
        }
        return out;
    }

    GtkWidget* waitForChooser() {
        GtkWidget* found = nullptr;
        pump([&] {
            auto list = choosers();
            found = list.empty() ? nullptr : list.front();
            return found != nullptr;
        });
        return found;
    }

    std::optional<std::string> waitForEvent() {
        std::optional<std::string> event;
        pump([&] { return (event = native->queue().take()).has_value(); });
        return event;
    }

    static std::string folderOf(GtkWidget* chooser) {
        GObjectPtr<GFile> folder(gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(chooser)));
        GCharPtr path(folder ? g_file_get_path(folder.get()) : nullptr);
        return path ? path.get() : "";
    }

    static bool filterAccepts(GtkWidget* chooser, const char* name) {
        GtkFileFilter* filter = gtk_file_chooser_get_filter(GTK_FILE_CHOOSER(chooser));
        if (!filter) return true;
        GObjectPtr<GFileInfo> info(g_file_info_new());
        g_file_info_set_display_name(info.get(), name);
        g_file_info_set_name(info.get(), name);
        g_file_info_set_file_type(info.get(), G_FILE_TYPE_REGULAR);
        return gtk_filter_match(GTK_FILTER(filter), info.get());
    }

    static void respond(GtkWidget* chooser, int response) {
        gtk_dialog_response(GTK_DIALOG(chooser), response);
    }

    test::TestHost host;
    GtkWidget* window = nullptr;
    std::unique_ptr<bridge::NativeCall> native;
};

TEST_F(GtkFileDialogsTest, OpenDialogStartsInTheFolderWithTheFilterAndCancelPostsAnEmptyPath) {
    ScratchDir dir;
    EXPECT_EQ(native->call("$$fs_openfilename", R"(["wav","aif"])", dir.path()), "v");
    GtkWidget* chooser = waitForChooser();
    ASSERT_NE(chooser, nullptr) << "no dialog appeared";
    EXPECT_EQ(folderOf(chooser), dir.path());
    EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(chooser)));
    EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(chooser)), GTK_WINDOW(window));
    EXPECT_TRUE(filterAccepts(chooser, "take.wav"));
    EXPECT_TRUE(filterAccepts(chooser, "TAKE.AIF"));
    EXPECT_FALSE(filterAccepts(chooser, "notes.txt"));
    respond(chooser, GTK_RESPONSE_CANCEL);
    EXPECT_EQ(waitForEvent(), "fs\fopenfilename\f");
    EXPECT_TRUE(choosers().empty());
}

TEST_F(GtkFileDialogsTest, OpenDialogConfirmedPostsTheChosenPath) {
    ScratchDir dir;
    putFile(dir / "take.wav", "x");
    native->call("$$fs_openfilenamev2", R"(["wav"])", std::nullopt);
    GtkWidget* chooser = waitForChooser();
    ASSERT_NE(chooser, nullptr);
    GObjectPtr<GFile> file(g_file_new_for_path((dir / "take.wav").c_str()));
    ASSERT_TRUE(gtk_file_chooser_set_file(GTK_FILE_CHOOSER(chooser), file.get(), nullptr));
    // The chooser selects the file once it has loaded the folder, as a click would.
    EXPECT_TRUE(pump([&] {
        GObjectPtr<GFile> selected(gtk_file_chooser_get_file(GTK_FILE_CHOOSER(chooser)));
        return selected != nullptr;
    }));
    respond(chooser, GTK_RESPONSE_ACCEPT);
    EXPECT_EQ(waitForEvent(), "fs\fopenfilename\f" + (dir / "take.wav"));
}

TEST_F(GtkFileDialogsTest, SaveDialogProposesTheNameInItsFolder) {
    ScratchDir dir;
    native->call("$$fs_savefilename", dir / "song.wav", "wav");
    GtkWidget* chooser = waitForChooser();
    ASSERT_NE(chooser, nullptr);
    EXPECT_EQ(folderOf(chooser), dir.path());
    GCharPtr name(gtk_file_chooser_get_current_name(GTK_FILE_CHOOSER(chooser)));
    EXPECT_STREQ(name.get(), "song.wav");
    respond(chooser, GTK_RESPONSE_ACCEPT);
    EXPECT_EQ(waitForEvent(), "fs\fsavefilename\f" + (dir / "song.wav"));
}

TEST_F(GtkFileDialogsTest, FolderDialogsRunOneAfterTheOtherAndAnswerWithATrailingSlash) {
    ScratchDir dir;
    std::filesystem::create_directories(dir / "sub");
    native->call("$$fs_choosefolder", dir.path(), std::nullopt);
    native->call("$$fs_choosefolder", dir.path(), std::nullopt);
    GtkWidget* chooser = waitForChooser();
    ASSERT_NE(chooser, nullptr);
    pump([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(choosers().size(), 1u) << "the second dialog must wait for the first";
    GObjectPtr<GFile> folder(g_file_new_for_path((dir / "sub").c_str()));
    ASSERT_TRUE(gtk_file_chooser_set_file(GTK_FILE_CHOOSER(chooser), folder.get(), nullptr));
    respond(chooser, GTK_RESPONSE_ACCEPT);
    EXPECT_EQ(waitForEvent(), "fs\fchoosefolder\f" + (dir / "sub") + "/");
    GtkWidget* second = nullptr;
    pump([&] {
        auto list = choosers();
        second = list.empty() ? nullptr : list.front();
        return second != nullptr;
    });
    ASSERT_NE(second, nullptr) << "the second dialog never came";
    respond(second, GTK_RESPONSE_CANCEL);
    EXPECT_EQ(waitForEvent(), "fs\fchoosefolder\f");
}

TEST_F(GtkFileDialogsTest, ClosingThePageWithADialogOpenClosesTheDialog) {
    native->call("$$fs_choosefolder", std::nullopt, std::nullopt);
    ASSERT_NE(waitForChooser(), nullptr);
    native.reset();
    EXPECT_TRUE(pump([] { return choosers().empty(); }));
}

G_GNUC_END_IGNORE_DEPRECATIONS

}  // namespace
}  // namespace lumetta::modules::fs
