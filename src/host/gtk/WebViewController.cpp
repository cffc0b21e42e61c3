#include "host/gtk/WebViewController.h"

#include <syslog.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <utility>

#include "base/StartupTrace.h"
#include "base/raii/GCharPtr.h"
#include "base/raii/GErrorPtr.h"
#include "base/raii/GSourceId.h"
#include "bridge/BridgeText.h"
#include "bridge/Result.h"
#include "host/Locations.h"
#include "host/NativeControl.h"
#include "host/gtk/AppWebView.h"
#include "host/gtk/Dialogs.h"
#include "host/gtk/NativeProtocol.h"
#include "host/gtk/UserAgent.h"

namespace lumetta::host {

using namespace lumetta::bridge;

namespace {
constexpr const char* kMessageNames[] = {"lumetta1", "lumetta2", "prompt"};
constexpr const char* kPromptNulReason =
    "The result contains a NUL character, which the prompt channel cannot carry.";

// How the window, the log and refused calls name a document: its origin, else its scheme.
std::string describe(const std::string& uri) {
    if (auto origin = originOf(uri)) return origin->text();
    return uri.substr(0, uri.find(':') == std::string::npos ? 40 : uri.find(':') + 1);
}

// The folder of the web-process extension that guards frames: installed beside the program,
// else in the build tree.
std::string webProcessExtensionDirectory() {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    fs::path installed = exe.parent_path() / ".." / LUMETTA_WEB_EXTENSIONS_INSTALL_DIR;
    if (!ec && fs::is_directory(installed, ec)) return installed.string();
    if (!fs::is_directory(LUMETTA_WEB_EXTENSIONS_BUILD_DIR, ec))
        syslog(LOG_WARNING, "frame guard not found: frames of other origins keep prompt()");
    return LUMETTA_WEB_EXTENSIONS_BUILD_DIR;
}

std::string refusalFor(const std::string& uri) {
    return "this page (" + describe(uri) + ") is not trusted to use native functions";
}

// WebKit takes UTF-8 text only; a result with other bytes keeps what it can.
raii::GCharPtr validUtf8(const std::string& text) {
    return raii::GCharPtr(g_utf8_make_valid(text.data(), static_cast<gssize>(text.size())));
}
}  // namespace

WebViewController::WebViewController(Services& services,
                                     const std::vector<ModuleDescriptor>& modules, Options options)
    : services_(services),
      options_(options),
      intf_(std::make_unique<JavaScriptInterface>(*this, services, modules)) {
    for (auto& origin : options_.trustedOrigins) {
        if (!trust_.add(origin, TrustSource::Listed))
            syslog(LOG_WARNING, "not an origin, not trusted: %s", origin.c_str());
    }
    closeWindowObservation_ = services_.center.observe(
        note::closeWindow, [this](WebViewWindowController* child) { closeWindow(child); });
}

WebViewController::~WebViewController() {
    closeWindowObservation_.reset();
    closeAllWindows();
    navigation_.reset();
    viewSignals_.reset();
    contentSignals_.reset();
    if (content_) {
        for (const char* name : kMessageNames)
            webkit_user_content_manager_unregister_script_message_handler(content_.get(), name,
                                                                          nullptr);
    }
    detachAppWebView(webView_.get());
    webView_.reset();
    content_.reset();
    intf_.reset();
}

std::unique_ptr<WebViewController> WebViewController::initForPlugin(
    Services& services, const std::vector<ModuleDescriptor>& modules, Options options) {
    if (!services.mainThread.isCurrent()) return nullptr;
    auto controller = std::make_unique<WebViewController>(services, modules, options);
    controller->createWebView("file://" + bundleDirectory() + "html/plugin.html");
    return controller;
}

GtkWidget* WebViewController::createWebView(const std::string& uri) {
    // Before the view's web process starts, so that it loads the frame guard.
    webkit_web_context_set_web_process_extensions_directory(webkit_web_context_get_default(),
                                                            webProcessExtensionDirectory().c_str());
    content_ = raii::adopt(webkit_user_content_manager_new());
    if (!trust_.add(uri, TrustSource::Implied))
        syslog(LOG_WARNING, "the start page is not trusted: %s", describe(uri).c_str());
    installUserScript();
    intf_->native().setEventCondition(trust_.documentCondition());
    contentSignals_ = std::make_unique<raii::SignalScope>(content_.get(), this);
    // The signal does not say which handler received the message: one callback each.
    const GCallback receivers[] = {G_CALLBACK(onScriptMessage<0>), G_CALLBACK(onScriptMessage<1>),
                                   G_CALLBACK(onScriptMessage<2>)};
    for (int i = 0; i < 3; ++i) {
        webkit_user_content_manager_register_script_message_handler(content_.get(),
                                                                    kMessageNames[i], nullptr);
        std::string signal = std::string("script-message-received::") + kMessageNames[i];
        g_signal_connect(content_.get(), signal.c_str(), receivers[i], this);
    }

    auto* view = createAppWebView(content_.get(), *intf_);
    webView_ = raii::retain(view);
    // The in-process protocol answers only the view whose bridge it would call.
    g_object_set_data(G_OBJECT(view), kViewBridgeKey, &intf_->native());
    g_object_set_data(G_OBJECT(view), kViewTrustKey, &trust_);
    WebKitSettings* settings = webkit_web_view_get_settings(view);
    webkit_settings_set_allow_file_access_from_file_urls(settings, TRUE);
    webkit_settings_set_allow_universal_access_from_file_urls(settings, TRUE);
    appendUserAgentApplication(settings);
    webkit_settings_set_enable_developer_extras(settings, options_.devtools);
    webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);
    webkit_settings_set_enable_back_forward_navigation_gestures(settings, TRUE);
    gtk_widget_set_hexpand(GTK_WIDGET(view), TRUE);
    gtk_widget_set_vexpand(GTK_WIDGET(view), TRUE);

    viewSignals_ = std::make_unique<raii::SignalScope>(view, this);
    g_signal_connect(view, "script-dialog", G_CALLBACK(onScriptDialog), this);
    sendNewWindowsToDefaultBrowser(view);
    g_signal_connect(view, "decide-policy", G_CALLBACK(onDecidePolicy), this);
    g_signal_connect(view, "permission-request", G_CALLBACK(onPermissionRequest), this);
    g_signal_connect(view, "load-changed", G_CALLBACK(onLoadChanged), this);
    g_signal_connect(view, "load-failed", G_CALLBACK(onLoadFailed), this);
    navigation_ = std::make_unique<NavigationBar>(view, [this] { updateTitle(); });
    navigation_->setButtons(buttons_);

    loadURL(uri);
    return GTK_WIDGET(view);
}

void WebViewController::installUserScript() {
    // Each frame checks its own origin before a page script can run in it: the token and the
    // prompt channel's flag go only to frames from trusted origins. The port is no secret.
    std::string origins;
    for (auto& origin : trust_.origins()) origins += (origins.empty() ? "'" : ",'") + origin + "'";
    std::string script = "window.$$xhrport = " + std::to_string(intf_->portNo()) + ";\n";
    script += "(function () {\n";
    script += "  var origin = location.protocol === 'file:' ? 'file://' : self.origin;\n";
    script += "  if ([" + origins + "].indexOf(origin) < 0) return;\n";
    script += "  window.$$prompt = true;\n";
    script += "  window.$$xhrtoken = '" + intf_->xhrToken() + "';\n";
    script += "})();";
    auto* userScript =
        webkit_user_script_new(script.c_str(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_remove_all_scripts(content_.get());
    webkit_user_content_manager_add_script(content_.get(), userScript);
    webkit_user_script_unref(userScript);
}

// The main frame is about to show an untrusted document (its response is accepted): calls are
// refused and events held from now on, before the document can run, so nothing reaches it in
// the moments before the view learns that it committed.
void WebViewController::guardNavigation(const std::string& uri) {
    if (uri.empty() || trust_.trusts(uri)) return;
    NativeCall& native = intf_->native();
    guarded_ = true;
    native.queue().stopDelivery();
    native.setRefusal(refusalFor(uri));
}

// The document `uri` is shown: the bridge opens to it or closes.
void WebViewController::applyTrust(const std::string& uri) {
    guarded_ = false;
    NativeCall& native = intf_->native();
    bool trusted = !uri.empty() && trust_.trusts(uri);
    if (trusted) {
        native.setRefusal(std::nullopt);
    } else {
        native.queue().stopDelivery();
        native.setRefusal(refusalFor(uri));
        syslog(LOG_WARNING, "page not trusted, native functions refused: %s",
               describe(uri).c_str());
    }
    if (trusted != trusted_) {
        if (trusted)
            syslog(LOG_NOTICE, "trusted page shown, native functions open: %s",
                   describe(uri).c_str());
        trusted_ = trusted;
    }
    untrustedOrigin_ = trusted ? std::string() : describe(uri);
    updateTitle();
}

void WebViewController::onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self) {
    auto* controller = static_cast<WebViewController*>(self);
    const char* uri = webkit_web_view_get_uri(view);
    if (event == WEBKIT_LOAD_FINISHED) base::startupMilestone("page loaded");
    // Only now does the view know the new document's address (a page restored from the
    // back/forward cache has no response to decide on before).
    if (event != WEBKIT_LOAD_COMMITTED) return;
    base::startupMilestone("page committed");
    try {
        controller->committedUri_ = uri ? uri : "";
        controller->applyTrust(controller->committedUri_);
    } catch (const std::exception& e) {
        controller->intf_->native().setRefusal("cannot decide whether this page is trusted");
        syslog(LOG_ERR, "cannot decide whether a page is trusted: %s", e.what());
    }
}

gboolean WebViewController::onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar*, GError*,
                                         gpointer self) {
    // The document shown stays, and with it its trust. Delivery stays off, as after any
    // main-frame response, until the page switches it on again.
    auto* controller = static_cast<WebViewController*>(self);
    try {
        if (controller->guarded_) controller->applyTrust(controller->committedUri_);
    } catch (const std::exception& e) {
        syslog(LOG_ERR, "cannot decide whether a page is trusted: %s", e.what());
    }
    return FALSE;
}

void WebViewController::setWindow(GtkWindow* window, GtkWidget* backButton,
                                  GtkWidget* forwardButton) {
    window_ = window;
    buttons_ = {backButton, forwardButton};
    intf_->native().setWindow(window);
    if (navigation_) navigation_->setButtons(buttons_);
}

template <int Channel>
void WebViewController::onScriptMessage(WebKitUserContentManager*, JSCValue* value, gpointer self) {
    auto* controller = static_cast<WebViewController*>(self);
    // Read with its length: a body with a NUL in it arrives whole, not cut there.
    GBytes* bytes = jsc_value_is_string(value) ? jsc_value_to_string_as_bytes(value) : nullptr;
    std::string body;
    if (bytes) {
        gsize size = 0;
        const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
        body.assign(data ? data : "", size);
        g_bytes_unref(bytes);
    } else if (raii::GCharPtr text{jsc_value_to_string(value)}) {
        body = text.get();
    }
    controller->intf_->native().didReceiveScriptMessage(kMessageNames[Channel], body);
}

gboolean WebViewController::onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog,
                                           gpointer self) {
    auto* controller = static_cast<WebViewController*>(self);
    switch (webkit_script_dialog_get_dialog_type(dialog)) {
        case WEBKIT_SCRIPT_DIALOG_PROMPT: {
            // The synchronous call channel: no panel, the bridge's result is the answer.
            std::string result =
                controller->intf_->native().dispatch2(webkit_script_dialog_get_message(dialog));
            // The answer is a C string: a NUL would cut it, so such a result is refused.
            if (result.find('\0') != std::string::npos) result = resultError(kPromptNulReason);
            webkit_script_dialog_prompt_set_text(dialog, validUtf8(result).get());
            return TRUE;
        }
        case WEBKIT_SCRIPT_DIALOG_ALERT:
        case WEBKIT_SCRIPT_DIALOG_CONFIRM:
            showScriptDialog(controller->window_, dialog);
            return TRUE;
        default:
            return FALSE;
    }
}

gboolean WebViewController::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                           WebKitPolicyDecisionType type, gpointer self) {
    auto* controller = static_cast<WebViewController*>(self);
    if (type != WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
    auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
    NativeCall& native = controller->intf_->native();
    if (!webkit_response_policy_decision_is_mime_type_supported(response)) {
        const char* uri =
            webkit_uri_response_get_uri(webkit_response_policy_decision_get_response(response));
        native.services().center.post(
            note::postEvent, joinEvent({"app", "command", "download", uri ? uri : ""}), &native);
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }
    if (webkit_response_policy_decision_is_main_frame_main_resource(response)) {
        // A new document replaces the page; it switches delivery on again once it is ready.
        native.queue().stopDelivery();
        const char* uri =
            webkit_uri_response_get_uri(webkit_response_policy_decision_get_response(response));
        controller->guardNavigation(uri ? uri : "");
    }
    webkit_policy_decision_use(decision);
    return TRUE;
}

bool mediaRequestGranted(bool audio, bool video, bool display) {
    return !display && (audio || video);
}

gboolean WebViewController::onPermissionRequest(WebKitWebView*, WebKitPermissionRequest* request,
                                                gpointer) {
    if (WEBKIT_IS_USER_MEDIA_PERMISSION_REQUEST(request)) {
        // Camera and microphone only: capturing the screen is never granted unasked.
        auto* media = WEBKIT_USER_MEDIA_PERMISSION_REQUEST(request);
        if (mediaRequestGranted(webkit_user_media_permission_is_for_audio_device(media),
                                webkit_user_media_permission_is_for_video_device(media),
                                webkit_user_media_permission_is_for_display_device(media)))
            webkit_permission_request_allow(request);
        else
            webkit_permission_request_deny(request);
        return TRUE;
    }
    return FALSE;
}

void WebViewController::updateTitle() {
    if (!window_ || !webView_) return;
    const char* title = webkit_web_view_get_title(webView_.get());
    if (trusted_) {
        if (title) gtk_window_set_title(window_, title);
        return;
    }
    // The page's own title cannot hide that it is not trusted.
    std::string shown = "Not trusted: " + untrustedOrigin_;
    if (title && *title) shown += " \u2014 " + std::string(title);
    gtk_window_set_title(window_, shown.c_str());
}

void WebViewController::postJavaScriptFunction(const std::string& script) {
    if (!webView_) return;
    // With start-up tracing on, the first delivery reports when the page has run it.
    GAsyncReadyCallback traced = nullptr;
    if (base::startupTraceEnabled())
        traced = [](GObject* view, GAsyncResult* result, gpointer) {
            if (JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(view),
                                                                             result, nullptr))
                g_object_unref(value);
            base::startupMilestone("first script evaluated");
        };
    webkit_web_view_evaluate_javascript(webView_.get(), script.data(),
                                        static_cast<gssize>(script.size()), nullptr, nullptr,
                                        nullptr, traced, nullptr);
}

void WebViewController::nativeControl(const std::string& command) {
    NativeControl::proc(intf_->native(), command, window_);
}

void WebViewController::loadURL(const std::string& url) {
    if (!webView_) return;
    size_t known = trust_.origins().size();
    if (!trust_.add(url, TrustSource::Implied))
        syslog(LOG_WARNING, "not trusted, plain http off this machine: %s", describe(url).c_str());
    if (trust_.origins().size() != known) {
        installUserScript();
        intf_->native().setEventCondition(trust_.documentCondition());
    }
    // File URLs may read the whole file system, as pages expect of the application.
    webkit_web_view_load_uri(webView_.get(), url.c_str());
}

namespace {
struct PendingScript {
    bool done = false;
    std::string value;
};
}  // namespace

std::optional<std::string> WebViewController::refuseOrigin(std::string_view origin) const {
    if (trust_.trustsOriginHeader(origin)) return std::nullopt;
    return "requests from " + std::string(origin) + " are not trusted to use native functions";
}

std::optional<std::string> WebViewController::callJavaScriptFunction(const std::string& script) {
    if (!webView_) return std::string();
    // Shared with the callback, which may come after we gave up waiting.
    auto* pending = new std::shared_ptr<PendingScript>(std::make_shared<PendingScript>());
    std::shared_ptr<PendingScript> state = *pending;
    webkit_web_view_evaluate_javascript(
        webView_.get(), script.data(), static_cast<gssize>(script.size()), nullptr, nullptr,
        nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::shared_ptr<PendingScript>> owned(
                static_cast<std::shared_ptr<PendingScript>*>(data));
            GError* error = nullptr;
            raii::GObjectPtr<JSCValue> value(webkit_web_view_evaluate_javascript_finish(
                WEBKIT_WEB_VIEW(source), result, &error));
            raii::GErrorPtr errorOwner(error);
            if (value && !jsc_value_is_undefined(value.get()) && !jsc_value_is_null(value.get())) {
                raii::GCharPtr text(jsc_value_to_string(value.get()));
                if (text) (*owned)->value = text.get();
            }
            (*owned)->done = true;
        },
        pending);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    raii::GSourceId wake(g_timeout_add(
        30000, [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr));
    while (!state->done && std::chrono::steady_clock::now() < deadline)
        g_main_context_iteration(nullptr, TRUE);
    if (!state->done) wake.release();  // it fired and removed itself
    if (!state->done) return std::nullopt;
    return state->value;
}

void WebViewController::waitForReady() {
    raii::GSourceId tick(g_timeout_add(
        100, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr));
    intf_->waitForReady([] { g_main_context_iteration(nullptr, TRUE); });
}

WebViewWindowController& WebViewController::openWindow(const std::string& uri) {
    auto child = std::make_unique<WebViewWindowController>(services_.center, uri);
    WebViewWindowController& opened = *child;
    controllers_.push_back(std::move(child));
    opened.show();
    return opened;
}

void WebViewController::closeWindow(WebViewWindowController* controller) {
    auto it = std::find_if(controllers_.begin(), controllers_.end(),
                           [controller](const auto& child) { return child.get() == controller; });
    if (it == controllers_.end()) return;
    std::shared_ptr<WebViewWindowController> closing(std::move(*it));
    controllers_.erase(it);
    services_.mainThread.post([closing] { (void)closing; });  // the last owner goes after this turn
}

void WebViewController::closeAllWindows() {
    // Closing posts the close notice, which must not find the list half-walked.
    auto children = std::exchange(controllers_, {});
    for (auto& child : children) child->close();
}

std::vector<WebViewWindowController*> WebViewController::controllers() const {
    std::vector<WebViewWindowController*> list;
    for (auto& child : controllers_) list.push_back(child.get());
    return list;
}

}  // namespace lumetta::host
