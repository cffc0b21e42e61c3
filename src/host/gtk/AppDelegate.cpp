#include "host/gtk/AppDelegate.h"

#include <syslog.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "base/StartupTrace.h"
#include "base/raii/GCharPtr.h"
#include "base/raii/GErrorPtr.h"
#include "bridge/BridgeText.h"
#include "bridge/NotificationCenter.h"
#include "host/CommandUrl.h"
#include "host/Locations.h"
#include "modules/Modules.h"

namespace lumetta::host {

using namespace lumetta::bridge;

namespace {
constexpr const char* kFrameKey = "mainWindow";
// Per-user setting: further origins whose pages may use native functions.
constexpr const char* kTrustedOriginsKey = "trusted-origins";
constexpr int kDefaultWidth = 1200, kDefaultHeight = 800;
// The name pages already know from the other platforms' wake notice.
constexpr const char* kWakeNotificationName = "NSWorkspaceDidWakeNotification";

void onFirstFrame(GdkFrameClock* clock, gpointer) {
    base::startupMilestone("first frame drawn");
    g_signal_handlers_disconnect_by_func(clock, reinterpret_cast<gpointer>(onFirstFrame), nullptr);
}

// The first frame of a fresh process compiles the renderer's shaders on the main thread, while
// the page's process may be waiting for that thread: the trace shows when it is done.
void traceFirstFrame(GtkWindow* window) {
    if (GdkFrameClock* clock = gtk_widget_get_frame_clock(GTK_WIDGET(window)))
        g_signal_connect(clock, "after-paint", G_CALLBACK(onFirstFrame), nullptr);
}
}  // namespace

std::string bundleResourceDirectory() {
    // Beside the executable, so a build tree and an installed copy (or a package unpacked
    // anywhere) each show their own page: bin/../share/lumetta installed, the `resources`
    // link beside the program in a build tree.
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) {
        syslog(LOG_ERR, "cannot find the running program: %s", ec.message().c_str());
        return "/usr/share/lumetta/";
    }
    const fs::path candidates[] = {exe.parent_path() / "../share/lumetta",
                                   exe.parent_path() / "resources"};
    for (const fs::path& candidate : candidates) {
        if (fs::exists(candidate / "html" / "index.html", ec))
            return fs::weakly_canonical(candidate).string() + "/";
    }
    syslog(LOG_ERR, "no bundled page beside %s (looked in %s and %s)", exe.c_str(),
           candidates[0].c_str(), candidates[1].c_str());
    return fs::weakly_canonical(candidates[0]).string() + "/";
}

AppDelegate::AppDelegate() {
    auto config = configDirectory();
    store_ = std::make_unique<KeyFileStore>(config ? *config + "store.ini" : std::string());
    services_ = std::make_unique<Services>(
        Services{mainThread_, NotificationCenter::defaultCenter(), *store_, *this});
    app_ = raii::adopt(gtk_application_new(LUMETTA_APP_ID, G_APPLICATION_HANDLES_OPEN));
    static const GOptionEntry entries[] = {
        {"page", 0, 0, G_OPTION_ARG_STRING, nullptr,
         "Host this page (a path or URL) instead of the bundled one", "PATH_OR_URL"},
        {"devtools", 0, 0, G_OPTION_ARG_NONE, nullptr, "Enable the web inspector", nullptr},
        {"plugin", 0, 0, G_OPTION_ARG_NONE, nullptr, "Show the bundled plugin page", nullptr},
        {"trust-origin", 0, 0, G_OPTION_ARG_STRING_ARRAY, nullptr,
         "Let pages from this origin use native functions (repeatable)", "ORIGIN"},
        {"virtual-midi", 0, 0, G_OPTION_ARG_NONE, nullptr,
         "Use the built-in virtual MIDI ports only", nullptr},
        // Answered in main before the application starts; listed here for --help.
        {"list-functions", 0, 0, G_OPTION_ARG_NONE, nullptr,
         "Print every bridge function and event as JSON and exit", nullptr},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
    };
    g_application_add_main_option_entries(G_APPLICATION(app_.get()), entries);
    g_signal_connect(app_.get(), "handle-local-options", G_CALLBACK(onLocalOptions), this);
    g_signal_connect(app_.get(), "activate", G_CALLBACK(onActivate), this);
    g_signal_connect(app_.get(), "open", G_CALLBACK(onOpen), this);
}

AppDelegate::~AppDelegate() {
    wakeSubscription_.reset();
    // The page's bridge and modules go before the window and the services they use.
    zevViewController_.reset();
    viewController_.reset();
    if (window_) gtk_window_destroy(window_);
    g_signal_handlers_disconnect_by_data(app_.get(), this);
}

int AppDelegate::run(int argc, char** argv) {
    std::string bundle = bundleResourceDirectory();
    setBundleDirectory(bundle);
    page_ = "file://" + bundle + "html/index.html";
    return g_application_run(G_APPLICATION(app_.get()), argc, argv);
}

gint AppDelegate::onLocalOptions(GApplication*, GVariantDict* options, gpointer self) {
    auto* app = static_cast<AppDelegate*>(self);
    const char* page = nullptr;
    if (g_variant_dict_lookup(options, "page", "&s", &page) && page && *page) {
        raii::GObjectPtr<GFile> file = raii::adopt(g_file_new_for_commandline_arg(page));
        raii::GCharPtr uri(g_file_get_uri(file.get()));
        app->page_ = uri.get();
    }
    app->devtools_ = g_variant_dict_contains(options, "devtools");
    app->plugin_ = g_variant_dict_contains(options, "plugin");
    const char** origins = nullptr;
    if (g_variant_dict_lookup(options, "trust-origin", "^a&s", &origins) && origins) {
        raii::GMemoryPtr<const char*> owned(origins);  // the strings belong to the dictionary
        for (const char** o = origins; *o; ++o) app->trustedOrigins_.emplace_back(*o);
    }
    if (g_variant_dict_contains(options, "virtual-midi")) modules::useVirtualMidi();
    return -1;  // go on with the default handling
}

void AppDelegate::onActivate(GApplication*, gpointer self) {
    auto* app = static_cast<AppDelegate*>(self);
    if (app->window_) {
        gtk_window_present(app->window_);
        return;
    }
    app->launch();
}

void AppDelegate::onOpen(GApplication*, GFile** files, gint count, const gchar*, gpointer self) {
    auto* app = static_cast<AppDelegate*>(self);
    for (gint i = 0; i < count; ++i) {
        if (g_file_has_uri_scheme(files[i], kUrlScheme)) {
            raii::GCharPtr uri(g_file_get_uri(files[i]));
            app->handleURL(uri.get());
        } else if (raii::GCharPtr path{g_file_get_path(files[i])}) {
            app->openFile(path.get());
        }
    }
    if (!app->window_)
        app->launch();
    else
        gtk_window_present(app->window_);
}

void AppDelegate::postToAllPages(const std::string& event) {
    NotificationCenter::defaultCenter().post(note::postEvent, event);
}

void AppDelegate::openFile(const std::string& path) {
    if (viewController_)
        postToAllPages(joinEvent({"app", "command", "open", path}));
    else
        options_.push_back(path);
}

void AppDelegate::handleURL(const std::string& url) {
    if (auto event = commandEventForUrl(url)) postToAllPages(*event);
}

void AppDelegate::exit() {
    postToAllPages(joinEvent({"app", "command", "exit", ""}));
}

void AppDelegate::launch() {
    base::startupMilestone("launch");
    auto* window = GTK_WINDOW(gtk_application_window_new(app_.get()));
    window_ = window;
    gtk_window_set_title(window, "Lumetta");
    restoreFrame();
    g_signal_connect(window, "close-request", G_CALLBACK(onCloseRequest), this);

    const NavigationButtons buttons = NavigationBar::installHeaderBar(window);

    std::vector<std::string> trusted = trustedOrigins_;
    for (auto& origin : TrustPolicy::splitList(store_->get(kTrustedOriginsKey).value_or("")))
        trusted.push_back(origin);
    const WebViewController::Options options{devtools_, trusted};
    GtkWidget* view = nullptr;
    if (plugin_) {
        viewController_ =
            WebViewController::initForPlugin(*services_, modules::allModules(), options);
        view = GTK_WIDGET(viewController_->webView());
    } else {
        viewController_ =
            std::make_unique<WebViewController>(*services_, modules::allModules(), options);
    }
    base::startupMilestone("bridge created");
    GtkWidget* overlay = gtk_overlay_new();
    gtk_overlay_set_child(GTK_OVERLAY(overlay),
                          view ? view : viewController_->createWebView(page_));
    gtk_window_set_child(window, overlay);
    base::startupMilestone("page view created");
    viewController_->setWindow(window, buttons.back, buttons.forward);
    zevViewController_ = std::make_unique<ZevWebViewController>(*services_, GTK_OVERLAY(overlay),
                                                                viewController_->webView());
    base::startupMilestone("panel view created");

    std::vector<std::string> pending = std::exchange(options_, {});
    for (auto& path : pending) postToAllPages(joinEvent({"app", "command", "open", path}));

    g_bus_get(G_BUS_TYPE_SYSTEM, nullptr, onSystemBus, this);
    gtk_window_present(window);
    base::startupMilestone("window presented");
    if (base::startupTraceEnabled()) traceFirstFrame(window);
}

void AppDelegate::onSystemBus(GObject*, GAsyncResult* result, gpointer self) {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_finish(result, &error);
    if (!bus) {
        raii::GErrorPtr owner(error);
        syslog(LOG_INFO, "no system bus, wake from sleep is not reported: %s", error->message);
        return;
    }
    auto* app = static_cast<AppDelegate*>(self);
    app->systemBus_ = raii::adopt(bus);
    app->wakeSubscription_.reset(
        bus, g_dbus_connection_signal_subscribe(
                 bus, "org.freedesktop.login1", "org.freedesktop.login1.Manager", "PrepareForSleep",
                 "/org/freedesktop/login1", nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                 [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                    GVariant* parameters, gpointer data) {
                     gboolean sleeping = TRUE;
                     if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)")))
                         g_variant_get(parameters, "(b)", &sleeping);
                     if (!sleeping)
                         static_cast<AppDelegate*>(data)->postToAllPages(
                             joinEvent({"app", "command", "wakeup", kWakeNotificationName}));
                 },
                 app, nullptr));
}

gboolean AppDelegate::onCloseRequest(GtkWindow*, gpointer self) {
    static_cast<AppDelegate*>(self)->exit();
    return TRUE;  // the window stays until the page agrees to quit
}

void AppDelegate::terminate() {
    saveFrame();
    g_application_quit(G_APPLICATION(app_.get()));
}

void AppDelegate::restoreFrame() {
    int width = kDefaultWidth, height = kDefaultHeight, maximized = 0;
    if (auto frame = store_->get(kFrameKey)) {
        int w = 0, h = 0, m = 0;
        if (std::sscanf(frame->c_str(), "%d %d %d", &w, &h, &m) == 3 && w >= 200 && h >= 150 &&
            w <= 16384 && h <= 16384) {
            width = w, height = h, maximized = m;
        }
    }
    gtk_window_set_default_size(window_, width, height);
    if (maximized) gtk_window_maximize(window_);
}

void AppDelegate::saveFrame() {
    if (!window_) return;
    int width = 0, height = 0;
    gtk_window_get_default_size(window_, &width, &height);
    if (width <= 0 || height <= 0) return;
    store_->set(kFrameKey, std::to_string(width) + " " + std::to_string(height) + " " +
                               std::to_string(gtk_window_is_maximized(window_) ? 1 : 0));
}

}  // namespace lumetta::host
