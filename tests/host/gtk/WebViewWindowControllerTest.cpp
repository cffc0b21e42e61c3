// Child browser windows kept by the main controller: opened the way a new-window hook would,
// followed by their title and buttons, forgotten when they close.

#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <fstream>

#include "host/gtk/WebViewController.h"
#include "support/HostTestSupport.h"

using namespace lumetta;
using namespace std::chrono_literals;

namespace {

class WebViewWindowControllerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::initDisplayOnce(); }

    void SetUp() override {
        dir_ = g_dir_make_tmp("lumetta-child-XXXXXX", nullptr);
        ASSERT_NE(dir_, nullptr);
        main_ = std::make_unique<host::WebViewController>(host_.services,
                                                          std::vector<bridge::ModuleDescriptor>{},
                                                          host::WebViewController::Options{});
    }

    void TearDown() override {
        main_.reset();
        test::runFor(100ms);
        for (const auto& file : files_) g_remove(file.c_str());
        g_rmdir(dir_);
        g_free(dir_);
    }

    /// A file:// page titled `title`.
    std::string page(const std::string& title) {
        std::string path = std::string(dir_) + "/" + title + ".html";
        std::ofstream(path) << "<!doctype html><html><head><title>" << title
                            << "</title></head><body>" << title << "</body></html>";
        files_.push_back(path);
        return "file://" + path;
    }

    static std::string titleOf(host::WebViewWindowController& child) {
        const char* title = child.window() ? gtk_window_get_title(child.window()) : nullptr;
        return title ? title : "";
    }

    test::WindowServices host_;
    char* dir_ = nullptr;
    std::vector<std::string> files_;
    std::unique_ptr<host::WebViewController> main_;
};

TEST_F(WebViewWindowControllerTest, TitleAndButtonsFollowTheChildPage) {
    host::WebViewWindowController& child = main_->openWindow(page("first"));
    ASSERT_EQ(main_->controllers(), std::vector<host::WebViewWindowController*>{&child});
    ASSERT_TRUE(test::runUntil([&] { return titleOf(child) == "first"; })) << titleOf(child);
    EXPECT_FALSE(gtk_widget_get_sensitive(child.backButton()));
    EXPECT_FALSE(gtk_widget_get_sensitive(child.forwardButton()));

    webkit_web_view_load_uri(child.webView(), page("second").c_str());
    ASSERT_TRUE(test::runUntil([&] { return titleOf(child) == "second"; }));
    webkit_web_view_load_uri(child.webView(), page("third").c_str());
    ASSERT_TRUE(test::runUntil([&] { return titleOf(child) == "third"; }));
    ASSERT_TRUE(test::runUntil([&] { return gtk_widget_get_sensitive(child.backButton()); }));
    EXPECT_FALSE(gtk_widget_get_sensitive(child.forwardButton()));

    // The back button's click, as the user gives it.
    g_signal_emit_by_name(child.backButton(), "clicked");
    ASSERT_TRUE(test::runUntil([&] { return titleOf(child) == "second"; }));
    ASSERT_TRUE(test::runUntil([&] { return gtk_widget_get_sensitive(child.forwardButton()); }));
    EXPECT_TRUE(gtk_widget_get_sensitive(child.backButton()));

    g_signal_emit_by_name(child.forwardButton(), "clicked");
    ASSERT_TRUE(test::runUntil([&] { return titleOf(child) == "third"; }));
    ASSERT_TRUE(test::runUntil([&] { return !gtk_widget_get_sensitive(child.forwardButton()); }));
}

TEST_F(WebViewWindowControllerTest, ClosingOneWindowForgetsExactlyThatController) {
    host::WebViewWindowController& first = main_->openWindow(page("one"));
    host::WebViewWindowController& second = main_->openWindow(page("two"));
    host::WebViewWindowController& third = main_->openWindow(page("three"));
    ASSERT_TRUE(test::runUntil([&] { return titleOf(second) == "two"; }));

    std::vector<host::WebViewWindowController*> closeNotices;
    auto token =
        host_.center.observe(bridge::note::closeWindow,
                             [&](host::WebViewWindowController* closed, bridge::NativeCall* to) {
                                 EXPECT_EQ(to, nullptr);
                                 EXPECT_EQ(closed, &second);
                                 closeNotices.push_back(closed);
                             });
    // The window's own close, as its close button gives it.
    gtk_window_close(second.window());
    EXPECT_EQ(closeNotices.size(), 1u);
    EXPECT_EQ(main_->controllers(), (std::vector<host::WebViewWindowController*>{&first, &third}));
    test::runFor(100ms);  // the closed controller goes on a later turn
    EXPECT_EQ(main_->controllers(), (std::vector<host::WebViewWindowController*>{&first, &third}));
    EXPECT_NE(first.window(), nullptr);
    token.reset();

    main_->closeAllWindows();
    EXPECT_TRUE(main_->controllers().empty());
    test::runFor(50ms);
}

TEST_F(WebViewWindowControllerTest, TheMainControllerClosesItsChildrenWhenItGoes) {
    main_->openWindow(page("left"));
    main_->openWindow(page("right"));
    test::runFor(100ms);
    int closed = 0;
    auto token = host_.center.observe(bridge::note::closeWindow,
                                      [&](host::WebViewWindowController*) { ++closed; });
    main_.reset();
    EXPECT_EQ(closed, 2);
    test::runFor(50ms);
}

}  // namespace
