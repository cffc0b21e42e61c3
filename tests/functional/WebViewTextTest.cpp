// The main web view's settings and the text its channels carry: a NUL travels whole on the
// message channel, and the prompt channel, which cannot carry one, says so instead of cutting.

#include <gtest/gtest.h>

#include <fstream>

#include "functional/HostTestSupport.h"
#include "host/WebViewController.h"
#include "modules/app/AppModule.h"
#include "modules/util/UtilModule.h"

using namespace lumetta;

namespace {

struct PageInWindow {
    explicit PageInWindow(const std::string& html) {
        test::initDisplayOnce();
        char dir[] = "/tmp/lumetta-text-XXXXXX";
        if (mkdtemp(dir)) folder = dir;
        path = folder + "/page.html";
        std::ofstream(path) << html;
        controller = std::make_unique<host::WebViewController>(
            services.services,
            std::vector<bridge::ModuleDescriptor>{modules::app::descriptor(),
                                                  modules::util::descriptor()},
            host::WebViewController::Options{});
        window = gtk_window_new();
        gtk_window_set_child(GTK_WINDOW(window), controller->createWebView("file://" + path));
        gtk_window_present(GTK_WINDOW(window));
    }
    ~PageInWindow() {
        gtk_window_destroy(GTK_WINDOW(window));
        controller.reset();
        unlink(path.c_str());
        rmdir(folder.c_str());
    }
    std::string value(const std::string& expression) {
        std::string out;
        test::runUntil([&] {
            out = controller->callJavaScriptFunction(expression).value_or("");
            return !out.empty();
        });
        return out;
    }

    test::WindowServices services;
    std::string folder, path;
    std::unique_ptr<host::WebViewController> controller;
    GtkWidget* window = nullptr;
};

}  // namespace

TEST(WebViewText, ANulTravelsWholeOnTheMessageChannelAndIsRefusedByThePrompt) {
    PageInWindow page(R"HTML(<!DOCTYPE html><html><body><script>
window.webkit.messageHandlers.lumetta2.postMessage('$$app_clipboard\f' + 'a\u0000b');
setTimeout(() => {
  const answer = prompt('$$app_clipboard');
  window.answer = answer === null ? 'null' : answer;
}, 200);
</script></body></html>)HTML");
    std::string answer = page.value("window.answer || ''");
    auto clipboard = page.controller->intf().native().clipboard();
    ASSERT_TRUE(clipboard);
    EXPECT_EQ(*clipboard, std::string("a\0b", 3)) << "the message body was cut at the NUL";
    EXPECT_EQ(answer.substr(0, 1), "e") << answer;
    EXPECT_NE(answer.find("NUL"), std::string::npos) << answer;
}

TEST(WebViewText, SwipeNavigationIsOnAndScreenCaptureIsNotGranted) {
    PageInWindow page("<!DOCTYPE html><title>x</title>");
    WebKitSettings* settings = webkit_web_view_get_settings(page.controller->webView());
    EXPECT_TRUE(webkit_settings_get_enable_back_forward_navigation_gestures(settings));

    EXPECT_TRUE(host::mediaRequestGranted(true, false, false)) << "microphone";
    EXPECT_TRUE(host::mediaRequestGranted(false, true, false)) << "camera";
    EXPECT_TRUE(host::mediaRequestGranted(true, true, false)) << "both";
    EXPECT_FALSE(host::mediaRequestGranted(false, true, true)) << "screen";
    EXPECT_FALSE(host::mediaRequestGranted(true, true, true)) << "screen with sound";
    EXPECT_FALSE(host::mediaRequestGranted(false, false, false)) << "nothing named";
}
