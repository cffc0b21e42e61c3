// The in-process call protocol, registered the one way it can be, called from a real page.

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <chrono>
#include <fstream>
#include <vector>

#include "bridge/NotificationCenter.h"
#include "host/gtk/GlibMainThread.h"
#include "host/gtk/NativeProtocol.h"
#include "host/gtk/WebViewController.h"
#include "modules/app/AppModule.h"
#include "modules/util/UtilModule.h"
#include "support/LoopbackHttpServer.h"
#include "support/NullServices.h"

using namespace lumetta;

namespace {
// A page that calls $$app_clipboard through the protocol and leaves the answer in
// window.results ("failed: ..." when the request itself fails).
const char* kCallingPage = R"HTML(<!DOCTYPE html><html><body><script>
window.results = null;
fetch('lumetta://bridge/!lumetta', { headers: { method: '$$app_clipboard', arg1: 'pwned' } })
  .then((r) => r.text()).then((t) => { window.results = t; })
  .catch((e) => { window.results = 'failed: ' + e; });
</script></body></html>)HTML";

// A bridge with the app and util modules, its view not yet created, and the scheme registered.
class NativeProtocolTest : public ::testing::Test {
  protected:
    NativeProtocolTest() {
        gtk_init();
        // The engine takes a scheme once per process.
        static bool registered =
            (host::registerNativeProtocol(webkit_web_context_get_default()), true);
        (void)registered;
        native().setClipboard("untouched");
    }
    ~NativeProtocolTest() override {
        for (GtkWidget* window : windows) gtk_window_destroy(GTK_WINDOW(window));
    }
    void SetUp() override { ASSERT_TRUE(mkdtemp(dir)); }

    bridge::NativeCall& native() { return controller.intf().native(); }
    // Writes `text` to a file of the temporary folder and answers its URL.
    std::string pageUrl(const std::string& name, const std::string& text) {
        std::string path = std::string(dir) + "/" + name;
        std::ofstream(path) << text;
        return "file://" + path;
    }
    void present(GtkWidget* view) {
        GtkWidget* window = gtk_window_new();
        gtk_window_set_child(GTK_WINDOW(window), view);
        gtk_window_present(GTK_WINDOW(window));
        windows.push_back(window);
    }

    host::GlibMainThread mainThread;
    test::NullStore store;
    test::NullApplication application;
    bridge::Services services{mainThread, bridge::NotificationCenter::defaultCenter(), store,
                              application};
    host::WebViewController controller{
        services, {modules::app::descriptor(), modules::util::descriptor()}, {}};
    char dir[29] = "/tmp/lumetta-protocol-XXXXXX";
    std::vector<GtkWidget*> windows;
};

// Each evaluation is waited for before the next is started, so no answer arrives after
// the variables it writes have gone.
std::string waitForResults(WebKitWebView* view) {
    struct Poll {
        std::string results;
        bool answered = false;
    } poll;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (poll.results.empty() && std::chrono::steady_clock::now() < end) {
        poll.answered = false;
        webkit_web_view_evaluate_javascript(
            view, "window.results || ''", -1, nullptr, nullptr, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                auto* out = static_cast<Poll*>(data);
                out->answered = true;
                JSCValue* value = webkit_web_view_evaluate_javascript_finish(
                    WEBKIT_WEB_VIEW(source), result, nullptr);
                if (!value) return;
                char* text = jsc_value_to_string(value);
                out->results = text ? text : "";
                g_free(text);
                g_object_unref(value);
            },
            &poll);
        while (!poll.answered) g_main_context_iteration(nullptr, TRUE);
        if (poll.results.empty()) g_usleep(20000);
    }
    return poll.results;
}
}  // namespace

TEST_F(NativeProtocolTest, APageCallsThroughTheCurrentBridgeOnceRegistered) {
    present(controller.createWebView(pageUrl("page.html", R"HTML(<!DOCTYPE html><html><body><script>
async function call(method, arg1, arg2) {
  const headers = { method };
  if (arg1 !== undefined) headers.arg1 = arg1;
  if (arg2 !== undefined) headers.arg2 = arg2;
  const r = await fetch('lumetta://bridge/!lumetta', { headers });
  return r.text();
}
window.results = null;
(async () => {
  try {
    window.results = JSON.stringify([
      await call('$$util_bytes', encodeURIComponent('\u00e9')),
      await call('$$app_clipboard', encodeURIComponent("it's, here")),
      await call('$$app_clipboard'),
      await call('$$nothing_here', 'x'),
    ]);
  } catch (e) {
    window.results = 'failed: ' + e;
  }
})();
</script></body></html>)HTML")));
    EXPECT_EQ(waitForResults(controller.webView()), R"(["sC3A9","v","sit's, here","v"])");
}

TEST_F(NativeProtocolTest, AnotherViewOrAnUntrustedPageIsAnsweredWithAnErrorAndRunsNothing) {
    std::string calling = pageUrl("calling.html", kCallingPage);
    // A view without a bridge of its own, such as a child window, reaches no bridge.
    auto* other = WEBKIT_WEB_VIEW(webkit_web_view_new());
    present(GTK_WIDGET(other));
    webkit_web_view_load_uri(other, calling.c_str());
    std::string fromOther = waitForResults(other);
    EXPECT_EQ(fromOther.substr(0, 1), "e") << fromOther;
    EXPECT_EQ(native().clipboard(), "untouched");

    // The bridge's own view, sent by a link to a page of another origin.
    test::LoopbackHttpServer foreign(test::LoopbackHttpServer::Mode::Serve, kCallingPage);
    present(controller.createWebView(
        pageUrl("linking.html", "<!DOCTYPE html><html><body><script>location.href = '" +
                                    foreign.url() + "';</script></body></html>")));
    std::string fromForeign = waitForResults(controller.webView());
    EXPECT_FALSE(controller.pageTrusted());
    EXPECT_EQ(fromForeign.substr(0, 1), "e") << fromForeign;
    EXPECT_NE(fromForeign.find("not trusted"), std::string::npos) << fromForeign;
    EXPECT_EQ(native().clipboard(), "untouched");
}

TEST_F(NativeProtocolTest, AFrameOfAnotherOriginInATrustedPageIsAnsweredWithAnError) {
    test::LoopbackHttpServer framed(test::LoopbackHttpServer::Mode::Serve, R"HTML(<!DOCTYPE html>
<html><body><script>
fetch('lumetta://bridge/!lumetta', { headers: { method: '$$app_clipboard', arg1: 'pwned' } })
  .then((r) => r.text()).then((t) => parent.postMessage(t, '*'))
  .catch((e) => parent.postMessage('failed: ' + e, '*'));
</script></body></html>)HTML");
    present(controller.createWebView(
        pageUrl("framing.html",
                "<!DOCTYPE html><html><body><script>window.results = null;"
                "addEventListener('message', (e) => { window.results = e.data; });"
                "</script><iframe src='" +
                    framed.url() + "'></iframe></body></html>")));
    std::string fromFrame = waitForResults(controller.webView());
    EXPECT_TRUE(controller.pageTrusted());
    EXPECT_EQ(fromFrame.substr(0, 1), "e") << fromFrame;
    EXPECT_NE(fromFrame.find("not trusted"), std::string::npos) << fromFrame;
    EXPECT_EQ(native().clipboard(), "untouched");
}
