#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <string>
#include <vector>

#include "base/raii/DBusSubscription.h"
#include "base/raii/GObjectPtr.h"
#include "bridge/Services.h"
#include "host/gtk/GlibMainThread.h"
#include "host/gtk/KeyFileStore.h"
#include "host/gtk/WebViewController.h"
#include "host/gtk/ZevWebViewController.h"

namespace lumetta::host {

/// The application: one GtkApplication instance per user session (a second launch hands its
/// files and command URLs to the first), the main window with its page, and the happenings of
/// the system turned into "app" events. Quitting is the page's decision: the close button only
/// asks it. Main thread only.
class AppDelegate final : public bridge::Application {
  public:
    AppDelegate();
    ~AppDelegate() override;
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    /// Runs the application; returns the process exit status.
    int run(int argc, char** argv);

    /// Saves the window frame and ends the main loop.
    void terminate() override;

    /// A file the system asks us to open: an "open" event, or kept for after launch.
    void openFile(const std::string& path);
    /// A URL with our scheme: command URLs become events, others are ignored.
    void handleURL(const std::string& url);
    /// Asks the page whether to quit (the "exit" event).
    void exit();

  private:
    static gint onLocalOptions(GApplication*, GVariantDict* options, gpointer self);
    static void onActivate(GApplication*, gpointer self);
    static void onOpen(GApplication*, GFile** files, gint count, const gchar* hint, gpointer self);
    static gboolean onCloseRequest(GtkWindow*, gpointer self);
    static void onSystemBus(GObject*, GAsyncResult* result, gpointer self);
    void launch();
    void postToAllPages(const std::string& event);
    void restoreFrame();
    void saveFrame();

    GlibMainThread mainThread_;
    std::unique_ptr<KeyFileStore> store_;
    std::unique_ptr<bridge::Services> services_;
    raii::GObjectPtr<GtkApplication> app_;
    std::string page_;  // URI of the page to host
    bool devtools_ = false;
    bool plugin_ = false;  // show the bundled plugin page (--plugin)
    std::vector<std::string> trustedOrigins_;
    GtkWindow* window_ = nullptr;       // owned by the application once added
    std::vector<std::string> options_;  // files to open once the page exists
    raii::GObjectPtr<GDBusConnection> systemBus_;
    raii::DBusSubscription wakeSubscription_;
    std::unique_ptr<WebViewController> viewController_;
    std::unique_ptr<ZevWebViewController> zevViewController_;  // the panel over the main page
};

/// The directory of the bundled resources (html/, ...), ending in "/".
std::string bundleResourceDirectory();

}  // namespace lumetta::host
