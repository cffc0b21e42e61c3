#include "host/gtk/ZevWebViewController.h"

#include <syslog.h>

#include <algorithm>
#include <functional>

#include "base/raii/GCharPtr.h"
#include "base/raii/SignalScope.h"
#include "bridge/NotificationCenter.h"
#include "host/gtk/Dialogs.h"
#include "host/gtk/UserAgent.h"
#include "modules/zev/ZevModule.h"

namespace lumetta::host {

using namespace lumetta::bridge;

namespace {
constexpr const char* kMessageHandler = "sendMsgToZOM";
// A page may ask for any size; WebKit would try to back it with a surface of that size.
constexpr int64_t kMaxExtent = 16384;
constexpr int64_t kMaxOffset = 4 * kMaxExtent;

// The file chooser's answer to one file input of the panel page; releases both.
void onFileChosen(GtkNativeDialog* dialog, int response, gpointer data) {
    raii::GObjectPtr<GtkNativeDialog> owned(dialog);
    raii::GObjectPtr<WebKitFileChooserRequest> request(WEBKIT_FILE_CHOOSER_REQUEST(data));
    raii::GObjectPtr<GFile> file;
    if (response == GTK_RESPONSE_ACCEPT)
        file = raii::adopt(gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog)));
    raii::GCharPtr path(file ? g_file_get_path(file.get()) : nullptr);
    if (path) {
        const gchar* files[] = {path.get(), nullptr};
        webkit_file_chooser_request_select_files(request.get(), files);
    } else {
        webkit_file_chooser_request_cancel(request.get());
    }
}

int clampTo(int64_t value, int64_t low, int64_t high) {
    return static_cast<int>(std::clamp(value, low, high));
}
}  // namespace

int zevNavigationCode(const GError* error) {
    if (!error) return zevcode::failed;
    if (error->domain == G_IO_ERROR) {
        switch (error->code) {
            case G_IO_ERROR_TIMED_OUT:
                return zevcode::timedOut;
            case G_IO_ERROR_HOST_NOT_FOUND:
            case G_IO_ERROR_CONNECTION_REFUSED:
            case G_IO_ERROR_HOST_UNREACHABLE:
            case G_IO_ERROR_NETWORK_UNREACHABLE:
            case G_IO_ERROR_CONNECTION_CLOSED:
            case G_IO_ERROR_NOT_CONNECTED:
                return zevcode::unreachable;
            default:
                return zevcode::failed;
        }
    }
    if (error->domain == G_RESOLVER_ERROR && (error->code == G_RESOLVER_ERROR_NOT_FOUND ||
                                              error->code == G_RESOLVER_ERROR_TEMPORARY_FAILURE))
        return zevcode::unreachable;
    return zevcode::failed;
}

ZevWebViewController::ZevWebViewController(Services& services, GtkOverlay* overlay,
                                           WebKitWebView* mainView)
    : services_(services), overlay_(overlay), webViewZOM_(mainView) {
    // Its own configuration: no bridge handlers, no user script, only the panel's handler.
    content_ = raii::adopt(webkit_user_content_manager_new());
    webkit_user_content_manager_register_script_message_handler(content_.get(), kMessageHandler,
                                                                nullptr);
    contentSignals_ = std::make_unique<raii::SignalScope>(content_.get(), this);
    g_signal_connect(content_.get(), "script-message-received::sendMsgToZOM",
                     G_CALLBACK(onScriptMessage), this);

    auto* view = WEBKIT_WEB_VIEW(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", content_.get(), nullptr));
    webViewZEV_ = raii::retain(view);
    WebKitSettings* settings = webkit_web_view_get_settings(view);
    appendUserAgentApplication(settings);
    webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);

    viewSignals_ = std::make_unique<raii::SignalScope>(view, this);
    g_signal_connect(view, "load-changed", G_CALLBACK(onLoadChanged), this);
    g_signal_connect(view, "load-failed", G_CALLBACK(onLoadFailed), this);
    sendNewWindowsToDefaultBrowser(view);
    g_signal_connect(view, "run-file-chooser", G_CALLBACK(onRunFileChooser), this);

    // Hidden, with a zero frame and no page, until the page says otherwise.
    gtk_widget_set_visible(GTK_WIDGET(view), FALSE);
    overlaySignals_ = std::make_unique<raii::SignalScope>(overlay_, this);
    g_signal_connect(overlay_, "get-child-position", G_CALLBACK(onChildPosition), this);
    gtk_overlay_add_overlay(overlay_, GTK_WIDGET(view));

    observe(modules::zev::note::positionConfig, &ZevWebViewController::zevViewPositionConfig);
    observe(modules::zev::note::show,
            [](ZevWebViewController& c, const Arg&) { c.showWebViewZEV(); });
    observe(modules::zev::note::hide,
            [](ZevWebViewController& c, const Arg&) { c.hideWebViewZEV(); });
    observe(modules::zev::note::openPage, &ZevWebViewController::openPageInZEVView);
    observe(modules::zev::note::sendMsg, &ZevWebViewController::sendMsgToZEV);
}

ZevWebViewController::~ZevWebViewController() {
    observations_.clear();
    stopTimeout();
    viewSignals_.reset();
    contentSignals_.reset();
    overlaySignals_.reset();
    webkit_user_content_manager_unregister_script_message_handler(content_.get(), kMessageHandler,
                                                                  nullptr);
    GtkWidget* view = GTK_WIDGET(webViewZEV_.get());
    if (gtk_widget_get_parent(view) == GTK_WIDGET(overlay_))
        gtk_overlay_remove_overlay(overlay_, view);
    webViewZEV_.reset();
    content_.reset();
}

void ZevWebViewController::observe(const Notification<Arg>& note,
                                   std::function<void(ZevWebViewController&, const Arg&)> worker) {
    // Notifications arrive on the posting thread (the loopback server's, for some calls); the
    // work always runs on the main thread, and not at all once the controller is gone.
    observations_.push_back(services_.center.observe(
        note, [this, worker = std::move(worker), watch = alive_.watch()](const Arg& arg) {
            services_.mainThread.post([this, worker, watch, arg] {
                if (!watch.expired()) worker(*this, arg);
            });
        }));
}

void ZevWebViewController::zevViewPositionConfig(const Arg& geometry) {
    ZevRect requested = zevGeometryFromJson(geometry);
    // What of the main view lies outside the window's content area. GTK draws the title bar
    // beside the content, never over it, so in our window this is 0.
    int64_t mainHeight = 0, contentHeight = 0;
    if (webViewZOM_) {
        mainHeight = gtk_widget_get_height(GTK_WIDGET(webViewZOM_));
        GtkRoot* root = gtk_widget_get_root(GTK_WIDGET(webViewZOM_));
        if (root && GTK_IS_WINDOW(root)) {
            if (GtkWidget* content = gtk_window_get_child(GTK_WINDOW(root)))
                contentHeight = gtk_widget_get_height(content);
        }
    }
    frame_ = zevPanelFrame(requested, mainHeight, contentHeight);
    gtk_widget_queue_allocate(GTK_WIDGET(overlay_));
}

void ZevWebViewController::showWebViewZEV() {
    gtk_widget_set_visible(GTK_WIDGET(webViewZEV_.get()), TRUE);
}

void ZevWebViewController::hideWebViewZEV() {
    gtk_widget_set_visible(GTK_WIDGET(webViewZEV_.get()), FALSE);
}

void ZevWebViewController::openPageInZEVView(const Arg& url) {
    // Strict parsing, nothing escaped for the page. What does not parse cannot be loaded: the
    // page hears of it as a failed navigation.
    if (!url || !g_uri_is_valid(url->c_str(), G_URI_FLAGS_NONE, nullptr)) {
        services_.mainThread.post([this, watch = alive_.watch()] {
            if (!watch.expired()) triggerOnZevWebViewNotify(zevcode::failed);
        });
        return;
    }
    webkit_web_view_load_uri(webViewZEV_.get(), url->c_str());
}

void ZevWebViewController::sendMsgToZEV(const Arg& message) {
    // Inserted unchanged: the main page escapes quotes, backslashes and line breaks itself, so
    // escaping here too would hand the panel its escapes (it\'s instead of it's).
    std::string script = "onSendMsgToZEV('" + message.value_or("") + "');";
    webkit_web_view_evaluate_javascript(webViewZEV_.get(), script.data(),
                                        static_cast<gssize>(script.size()), nullptr, nullptr,
                                        nullptr, nullptr, nullptr);
}

gboolean ZevWebViewController::onChildPosition(GtkOverlay* overlay, GtkWidget* widget,
                                               GdkRectangle* allocation, gpointer self) {
    auto* controller = static_cast<ZevWebViewController*>(self);
    if (widget != GTK_WIDGET(controller->webViewZEV_.get())) return FALSE;
    // The frame is in the main view's coordinates; the overlay places in its own.
    graphene_point_t origin = GRAPHENE_POINT_INIT(0.f, 0.f), at = origin;
    if (controller->webViewZOM_ && !gtk_widget_compute_point(GTK_WIDGET(controller->webViewZOM_),
                                                             GTK_WIDGET(overlay), &origin, &at))
        at = origin;
    const ZevRect& frame = controller->frame_;
    allocation->x = static_cast<int>(at.x) + clampTo(frame.x, -kMaxOffset, kMaxOffset);
    allocation->y = static_cast<int>(at.y) + clampTo(frame.y, -kMaxOffset, kMaxOffset);
    allocation->width = clampTo(frame.width, 0, kMaxExtent);
    allocation->height = clampTo(frame.height, 0, kMaxExtent);
    return TRUE;
}

void ZevWebViewController::onScriptMessage(WebKitUserContentManager*, JSCValue* value,
                                           gpointer self) {
    auto* controller = static_cast<ZevWebViewController*>(self);
    // A string passes unchanged; anything else as its JSON text.
    raii::GCharPtr text(jsc_value_is_string(value) ? jsc_value_to_string(value)
                                                   : jsc_value_to_json(value, 0));
    if (!text) text.reset(jsc_value_to_string(value));
    std::string body = text ? text.get() : "";
    controller->services_.mainThread.post(
        [controller, body = std::move(body), watch = controller->alive_.watch()] {
            if (!watch.expired()) controller->triggerOnSendMsgToZOM(body);
        });
}

void ZevWebViewController::onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self) {
    auto* controller = static_cast<ZevWebViewController*>(self);
    switch (event) {
        case WEBKIT_LOAD_STARTED:
            controller->loadFailed_ = false;
            controller->timedOut_ = false;
            controller->startTimeout();
            break;
        case WEBKIT_LOAD_COMMITTED:
            controller->stopTimeout();  // the server answered
            break;
        case WEBKIT_LOAD_FINISHED:
            controller->stopTimeout();
            // WebKit also finishes a load that failed; that one was reported already.
            if (!controller->loadFailed_) {
                controller->services_.mainThread.post(
                    [controller, watch = controller->alive_.watch()] {
                        if (!watch.expired())
                            controller->triggerOnZevWebViewNotify(zevcode::finished);
                    });
            }
            controller->loadFailed_ = false;
            break;
        default:
            break;
    }
}

gboolean ZevWebViewController::onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar*, GError* error,
                                            gpointer self) {
    auto* controller = static_cast<ZevWebViewController*>(self);
    controller->stopTimeout();
    if (!controller->loadFailed_) {
        controller->loadFailed_ = true;
        int code = controller->timedOut_ ? zevcode::timedOut : zevNavigationCode(error);
        controller->services_.mainThread.post(
            [controller, code, watch = controller->alive_.watch()] {
                if (!watch.expired()) controller->triggerOnZevWebViewNotify(code);
            });
    }
    return TRUE;  // no error page: the panel keeps what it showed, as the page expects
}

void ZevWebViewController::startTimeout() {
    stopTimeout();
    timeoutSource_ = raii::GSourceId(g_timeout_add_full(
        G_PRIORITY_DEFAULT, static_cast<guint>(timeout_.count()),
        [](gpointer self) -> gboolean {
            auto* controller = static_cast<ZevWebViewController*>(self);
            controller->timeoutSource_.release();
            controller->timedOut_ = true;
            // Stopping fails the load as cancelled; it is reported as the time-out.
            webkit_web_view_stop_loading(controller->webViewZEV_.get());
            return G_SOURCE_REMOVE;
        },
        this, nullptr));
}

void ZevWebViewController::stopTimeout() {
    timeoutSource_.reset();
}

gboolean ZevWebViewController::onRunFileChooser(WebKitWebView* view,
                                                WebKitFileChooserRequest* request, gpointer) {
    GtkRoot* root = gtk_widget_get_root(GTK_WIDGET(view));
    GtkWindow* parent = root && GTK_IS_WINDOW(root) ? GTK_WINDOW(root) : nullptr;
    // One file, whatever the page asks for.
    GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
        nullptr, parent, GTK_FILE_CHOOSER_ACTION_OPEN, nullptr, nullptr);
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
    g_object_ref(request);  // released with the chooser's answer
    g_signal_connect(chooser, "response", G_CALLBACK(onFileChosen), request);
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
    return TRUE;
}

void ZevWebViewController::triggerOnSendMsgToZOM(std::string body) {
    services_.center.post(note::postEvent, joinEvent({"zev", "onSendMsgToZOM", body}));
}

void ZevWebViewController::triggerOnZevWebViewNotify(int code) {
    services_.center.post(note::postEvent,
                          joinEvent({"zev", "onZevWebViewNotify", std::to_string(code)}));
}

}  // namespace lumetta::host
