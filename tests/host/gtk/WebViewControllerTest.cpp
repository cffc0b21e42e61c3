// The main web view's settings and the text its channels carry: a NUL travels whole on the
// message channel, and the prompt channel, which cannot carry one, says so instead of cutting.
// The plugin page's controller: built only on the main thread, showing the bundled plugin page,
// whose every call channel reaches the bridge.

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "host/Locations.h"
#include "host/gtk/WebViewController.h"
#include "modules/app/AppModule.h"
#include "modules/util/UtilModule.h"
#include "support/HostTestSupport.h"

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

TEST(WebViewController, ANulTravelsWholeOnTheMessageChannelAndIsRefusedByThePrompt) {
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

TEST(WebViewController, SwipeNavigationIsOnAndScreenCaptureIsNotGranted) {
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

TEST(WebViewController, DropHandlersOfAViewThatOutlivesItsPageDoNothing) {
    test::initDisplayOnce();
    test::WindowServices services;
    std::vector<std::string> events;
    auto token = services.center.observe(
        bridge::note::postEvent, [&](const std::string& event) { events.push_back(event); });
    auto controller = std::make_unique<host::WebViewController>(
        services.services, std::vector<bridge::ModuleDescriptor>{modules::app::descriptor()},
        host::WebViewController::Options{});
    GtkWidget* view = controller->createWebView("about:blank");
    g_object_ref_sink(view);  // the view outlives its controller and interface

    GtkDropTarget* target = nullptr;
    GListModel* controllers = gtk_widget_observe_controllers(view);
    for (guint i = 0; i < g_list_model_get_n_items(controllers) && !target; ++i) {
        GObject* item = G_OBJECT(g_list_model_get_item(controllers, i));
        if (GTK_IS_DROP_TARGET(item)) target = GTK_DROP_TARGET(item);
        g_object_unref(item);
    }
    g_object_unref(controllers);
    ASSERT_NE(target, nullptr);

    GFile* file = g_file_new_for_path("/tmp/dropped.wav");
    GSList* files = g_slist_append(nullptr, file);
    GValue value = G_VALUE_INIT;
    g_value_init(&value, GDK_TYPE_FILE_LIST);
    g_value_take_boxed(&value, gdk_file_list_new_from_list(files));
    g_slist_free(files);

    gboolean dropped = FALSE;
    g_signal_emit_by_name(target, "drop", &value, 0.0, 0.0, &dropped);
    EXPECT_TRUE(dropped) << "while the page lives, a drop opens the file";
    EXPECT_EQ(events.size(), 1u);

    controller.reset();
    events.clear();
    dropped = TRUE;
    g_signal_emit_by_name(target, "drop", &value, 0.0, 0.0, &dropped);
    EXPECT_FALSE(dropped);
    EXPECT_TRUE(events.empty());

    g_value_unset(&value);
    g_object_unref(file);
    g_object_unref(view);
}

namespace {

std::vector<bridge::ModuleDescriptor> pluginModules() {
    return {modules::app::descriptor(), modules::util::descriptor()};
}

}  // namespace

TEST(WebViewController, APluginPageIsNotBuiltOffTheMainThread) {
    test::initDisplayOnce();
    test::WindowServices window;
    bool built = true;
    std::thread([&] {
        built =
            host::WebViewController::initForPlugin(window.services, pluginModules(), {}) != nullptr;
    }).join();
    EXPECT_FALSE(built);
}

TEST(WebViewController, APluginPageShowsTheBundledPluginPageWhoseChannelsAllAnswer) {
    test::initDisplayOnce();
    host::setBundleDirectory(LUMETTA_RESOURCES_DIR);
    test::WindowServices services;
    auto controller =
        host::WebViewController::initForPlugin(services.services, pluginModules(), {});
    ASSERT_NE(controller, nullptr);
    ASSERT_NE(controller->webView(), nullptr) << "the view exists once the controller does";
    EXPECT_EQ(std::string(webkit_web_view_get_uri(controller->webView())),
              "file://" LUMETTA_RESOURCES_DIR "/html/plugin.html");

    GtkWidget* window = gtk_window_new();
    gtk_window_set_child(GTK_WINDOW(window), GTK_WIDGET(controller->webView()));
    controller->setWindow(GTK_WINDOW(window), nullptr, nullptr);
    gtk_window_present(GTK_WINDOW(window));

    controller->waitForReady();
    EXPECT_TRUE(controller->intf().native().ready()) << "the page declared itself ready";
    std::string state;
    test::runUntil([&] {
        state =
            controller->callJavaScriptFunction("document.getElementById('status').dataset.state")
                .value_or("");
        return state != "connecting" && !state.empty();
    });
    EXPECT_EQ(state, "ready");
    EXPECT_EQ(
        controller->callJavaScriptFunction("document.getElementById('status').dataset.channels")
            .value_or(""),
        "message,prompt,XHR");
    const char* title = gtk_window_get_title(GTK_WINDOW(window));
    EXPECT_EQ(std::string(title ? title : ""), "Lumetta Plugin")
        << "the window follows the page's title";
    gtk_window_destroy(GTK_WINDOW(window));
}
