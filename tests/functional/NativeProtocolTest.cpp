// The in-process call protocol, registered the one way it can be, called from a real page.

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <chrono>
#include <fstream>

#include "bridge/NotificationCenter.h"
#include "host/GlibMainThread.h"
#include "host/NativeProtocol.h"
#include "host/WebViewController.h"
#include "modules/app/AppModule.h"
#include "modules/util/UtilModule.h"
#include "support/NullServices.h"

using namespace lumetta;

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
    host::registerNativeProtocol(webkit_web_context_get_default());
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
