// The in-process call protocol, registered the one way it can be, called from a real page.

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <chrono>
#include <fstream>

#include "bridge/NotificationCenter.h"
#include "functional/LoopbackHttpServer.h"
#include "host/gtk/GlibMainThread.h"
#include "host/gtk/NativeProtocol.h"
#include "host/gtk/WebViewController.h"
#include "modules/app/AppModule.h"
#include "modules/util/UtilModule.h"
#include "support/NullServices.h"

using namespace lumetta;

namespace {
// The engine takes a scheme once per process.
void registerProtocolOnce() {
    static bool done = (host::registerNativeProtocol(webkit_web_context_get_default()), true);
    (void)done;
}
}  // namespace

TEST(NativeProtocol, APageCallsThroughTheCurrentBridgeOnceRegistered) {
    gtk_init();
    host::GlibMainThread mainThread;
    test::NullStore store;
    test::NullApplication application;
    bridge::Services services{mainThread, bridge::NotificationCenter::defaultCenter(), store,
                              application};
    host::WebViewController controller(
        services, {modules::app::descriptor(), modules::util::descriptor()}, {});

    char dir[] = "/tmp/lumetta-protocol-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::string page = std::string(dir) + "/page.html";
    std::ofstream(page) << R"HTML(<!DOCTYPE html><html><body><script>
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
    window.results = [
      await call('$$util_bytes', encodeURIComponent('\u00e9')),
      await call('$$app_clipboard', encodeURIComponent("it's, here")),
      await call('$$app_clipboard'),
      await call('$$nothing_here', 'x'),
    ];
  } catch (e) {
    window.results = ['failed: ' + e];
  }
})();
</script></body></html>)HTML";
    GtkWidget* window = gtk_window_new();
    registerProtocolOnce();
    gtk_window_set_child(GTK_WINDOW(window), controller.createWebView("file://" + page));
    gtk_window_present(GTK_WINDOW(window));

    std::string results;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
        results =
            controller
                .callJavaScriptFunction("window.results ? JSON.stringify(window.results) : ''")
                .value_or("");
        if (!results.empty()) break;
        g_usleep(20000);
    }
    EXPECT_EQ(results, R"(["sC3A9","v","sit's, here","v"])");
    gtk_window_destroy(GTK_WINDOW(window));
}

namespace {
// A page that calls $$app_clipboard through the protocol and leaves the answer in
// window.results ("failed: ..." when the request itself fails).
const char* kCallingPage = R"HTML(<!DOCTYPE html><html><body><script>
window.results = null;
fetch('lumetta://bridge/!lumetta', { headers: { method: '$$app_clipboard', arg1: 'pwned' } })
  .then((r) => r.text()).then((t) => { window.results = t; })
  .catch((e) => { window.results = 'failed: ' + e; });
</script></body></html>)HTML";

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

TEST(NativeProtocol, AnotherViewOrAnUntrustedPageIsAnsweredWithAnErrorAndRunsNothing) {
    gtk_init();
    host::GlibMainThread mainThread;
    test::NullStore store;
    test::NullApplication application;
    bridge::Services services{mainThread, bridge::NotificationCenter::defaultCenter(), store,
                              application};
    host::WebViewController controller(services, {modules::app::descriptor()}, {});
    bridge::NativeCall& native = controller.intf().native();
    native.setClipboard("untouched");
    registerProtocolOnce();

    char dir[] = "/tmp/lumetta-protocol-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::string calling = std::string(dir) + "/calling.html";
    std::ofstream(calling) << kCallingPage;

    // A view without a bridge of its own, such as a child window, reaches no bridge.
    GtkWidget* otherWindow = gtk_window_new();
    auto* other = WEBKIT_WEB_VIEW(webkit_web_view_new());
    gtk_window_set_child(GTK_WINDOW(otherWindow), GTK_WIDGET(other));
    gtk_window_present(GTK_WINDOW(otherWindow));
    webkit_web_view_load_uri(other, ("file://" + calling).c_str());
    std::string fromOther = waitForResults(other);
    EXPECT_EQ(fromOther.substr(0, 1), "e") << fromOther;
    EXPECT_EQ(native.clipboard(), "untouched");

    // The bridge's own view, sent by a link to a page of another origin.
    test::LoopbackHttpServer foreign(test::LoopbackHttpServer::Mode::Serve, kCallingPage);
    std::string linking = std::string(dir) + "/linking.html";
    std::ofstream(linking) << "<!DOCTYPE html><html><body><script>location.href = '" +
                                  foreign.url() + "';</script></body></html>";
    GtkWidget* window = gtk_window_new();
    gtk_window_set_child(GTK_WINDOW(window), controller.createWebView("file://" + linking));
    gtk_window_present(GTK_WINDOW(window));
    std::string fromForeign = waitForResults(controller.webView());
    EXPECT_FALSE(controller.pageTrusted());
    EXPECT_EQ(fromForeign.substr(0, 1), "e") << fromForeign;
    EXPECT_NE(fromForeign.find("not trusted"), std::string::npos) << fromForeign;
    EXPECT_EQ(native.clipboard(), "untouched");
    gtk_window_destroy(GTK_WINDOW(window));
    gtk_window_destroy(GTK_WINDOW(otherWindow));
}

TEST(NativeProtocol, AFrameOfAnotherOriginInATrustedPageIsAnsweredWithAnError) {
    gtk_init();
    host::GlibMainThread mainThread;
    test::NullStore store;
    test::NullApplication application;
    bridge::Services services{mainThread, bridge::NotificationCenter::defaultCenter(), store,
                              application};
    host::WebViewController controller(services, {modules::app::descriptor()}, {});
    bridge::NativeCall& native = controller.intf().native();
    native.setClipboard("untouched");
    registerProtocolOnce();

    test::LoopbackHttpServer framed(test::LoopbackHttpServer::Mode::Serve, R"HTML(<!DOCTYPE html>
<html><body><script>
fetch('lumetta://bridge/!lumetta', { headers: { method: '$$app_clipboard', arg1: 'pwned' } })
  .then((r) => r.text()).then((t) => parent.postMessage(t, '*'))
  .catch((e) => parent.postMessage('failed: ' + e, '*'));
</script></body></html>)HTML");
    char dir[] = "/tmp/lumetta-protocol-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::string page = std::string(dir) + "/framing.html";
    std::ofstream(page) << "<!DOCTYPE html><html><body><script>window.results = null;"
                           "addEventListener('message', (e) => { window.results = e.data; });"
                           "</script><iframe src='" +
                               framed.url() + "'></iframe></body></html>";
    GtkWidget* window = gtk_window_new();
    gtk_window_set_child(GTK_WINDOW(window), controller.createWebView("file://" + page));
    gtk_window_present(GTK_WINDOW(window));
    std::string fromFrame = waitForResults(controller.webView());
    EXPECT_TRUE(controller.pageTrusted());
    EXPECT_EQ(fromFrame.substr(0, 1), "e") << fromFrame;
    EXPECT_NE(fromFrame.find("not trusted"), std::string::npos) << fromFrame;
    EXPECT_EQ(native.clipboard(), "untouched");
    gtk_window_destroy(GTK_WINDOW(window));
}
