#include "host/gtk/WebViewWindowController.h"

#include "base/raii/SignalScope.h"
#include "host/gtk/Dialogs.h"

namespace lumetta::host {

WebViewWindowController::WebViewWindowController(bridge::NotificationCenter& center,
                                                 const std::string& uri)
    : center_(center) {
    window_ = raii::retain(GTK_WINDOW(gtk_window_new()));
    GtkWindow* window = window_.get();
    gtk_window_set_default_size(window, 1000, 700);
    buttons_ = NavigationBar::installHeaderBar(window);

    webView_ = raii::retain(WEBKIT_WEB_VIEW(webkit_web_view_new()));
    WebKitWebView* view = webView_.get();
    gtk_widget_set_hexpand(GTK_WIDGET(view), TRUE);
    gtk_widget_set_vexpand(GTK_WIDGET(view), TRUE);
    gtk_window_set_child(window, GTK_WIDGET(view));

    windowSignals_ = std::make_unique<raii::SignalScope>(window, this);
    g_signal_connect(window, "close-request", G_CALLBACK(onCloseRequest), this);
    sendNewWindowsToDefaultBrowser(view);
    navigation_ = std::make_unique<NavigationBar>(view, [this] { updateTitle(); });
    navigation_->setButtons(buttons_);

    webkit_web_view_load_uri(view, uri.c_str());
}

WebViewWindowController::~WebViewWindowController() {
    navigation_.reset();
    windowSignals_.reset();
    if (!closed_) {
        closed_ = true;
        gtk_window_destroy(window_.get());
    }
    webView_.reset();
    window_.reset();
}

void WebViewWindowController::show() {
    if (!closed_) gtk_window_present(window_.get());
}

void WebViewWindowController::close() {
    if (!closed_) gtk_window_close(window_.get());
}

gboolean WebViewWindowController::onCloseRequest(GtkWindow*, gpointer self) {
    static_cast<WebViewWindowController*>(self)->windowWillClose();
    return FALSE;  // let the window close
}

void WebViewWindowController::windowWillClose() {
    // Stop following the view, then let whoever keeps us know; it releases us later, never
    // inside this handler.
    navigation_.reset();
    closed_ = true;
    center_.post(bridge::note::closeWindow, this);
}

void WebViewWindowController::updateTitle() {
    const char* title = webkit_web_view_get_title(webView_.get());
    if (!closed_ && title) gtk_window_set_title(window_.get(), title);
}

}  // namespace lumetta::host
