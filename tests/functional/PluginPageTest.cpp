// The plugin page's controller: built only on the main thread, showing the bundled plugin page,
// whose every call channel reaches the bridge.

#include <gtest/gtest.h>

#include <thread>

#include "functional/HostTestSupport.h"
#include "host/Locations.h"
#include "host/gtk/WebViewController.h"
#include "modules/app/AppModule.h"
#include "modules/util/UtilModule.h"

using namespace lumetta;

namespace {

std::vector<bridge::ModuleDescriptor> pluginModules() {
    return {modules::app::descriptor(), modules::util::descriptor()};
}

}  // namespace

TEST(PluginPage, IsNotBuiltOffTheMainThread) {
    test::initDisplayOnce();
    test::WindowServices window;
    bool built = true;
    std::thread([&] {
        built =
            host::WebViewController::initForPlugin(window.services, pluginModules(), {}) != nullptr;
    }).join();
    EXPECT_FALSE(built);
}

TEST(PluginPage, ShowsTheBundledPluginPageWhoseChannelsAllAnswer) {
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
