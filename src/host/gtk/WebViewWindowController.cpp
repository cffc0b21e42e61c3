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

    GtkWidget* header = gtk_header_bar_new();
    backButton_ = gtk_button_new_from_icon_name("go-previous-symbolic");
    forwardButton_ = gtk_button_new_from_icon_name("go-next-symbolic");
    gtk_widget_set_tooltip_text(backButton_, "Back");
    gtk_widget_set_tooltip_text(forwardButton_, "Forward");
    gtk_header_bar_pack_start(GTK_HEADER_BAR(header), backButton_);
    gtk_header_bar_pack_start(GTK_HEADER_BAR(header), forwardButton_);
    gtk_window_set_titlebar(window, header);

    webView_ = raii::retain(WEBKIT_WEB_VIEW(webkit_web_view_new()));
    WebKitWebView* view = webView_.get();
    gtk_widget_set_hexpand(GTK_WIDGET(view), TRUE);
    gtk_widget_set_vexpand(GTK_WIDGET(view), TRUE);
    gtk_window_set_child(window, GTK_WIDGET(view));

    windowSignals_ = std::make_unique<raii::SignalScope>(window, this);
    g_signal_connect(window, "close-request", G_CALLBACK(onCloseRequest), this);
    g_signal_connect_swapped(backButton_, "clicked",
                             G_CALLBACK(+[](WebViewWindowController* c) { c->goBack(); }), this);
    g_signal_connect_swapped(forwardButton_, "clicked",
                             G_CALLBACK(+[](WebViewWindowController* c) { c->goForward(); }), this);
    viewSignals_ = std::make_unique<raii::SignalScope>(view, this);
    sendNewWindowsToDefaultBrowser(view);
    g_signal_connect(view, "notify::title", G_CALLBACK(onTitle), this);
    WebKitBackForwardList* history = webkit_web_view_get_back_forward_list(view);
    historySignals_ = std::make_unique<raii::SignalScope>(history, this);
    g_signal_connect(history, "changed", G_CALLBACK(onHistoryChanged), this);
    updateButtons();

    webkit_web_view_load_uri(view, uri.c_str());
}

WebViewWindowController::~WebViewWindowController() {
    historySignals_.reset();
    viewSignals_.reset();
    windowSignals_.reset();
    // The buttons are the window's children; their handlers go with them.
    if (!closed_) {
        g_signal_handlers_disconnect_by_data(backButton_, this);
        g_signal_handlers_disconnect_by_data(forwardButton_, this);
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

void WebViewWindowController::goBack() {
    webkit_web_view_go_back(webView_.get());
}

void WebViewWindowController::goForward() {
    webkit_web_view_go_forward(webView_.get());
}

gboolean WebViewWindowController::onCloseRequest(GtkWindow*, gpointer self) {
    static_cast<WebViewWindowController*>(self)->windowWillClose();
    return FALSE;  // let the window close
}

void WebViewWindowController::windowWillClose() {
    // Stop following the view, then let whoever keeps us know; it releases us later, never
    // inside this handler.
    historySignals_.reset();
    g_signal_handlers_disconnect_by_func(webView_.get(), reinterpret_cast<gpointer>(onTitle), this);
    g_signal_handlers_disconnect_by_data(backButton_, this);
    g_signal_handlers_disconnect_by_data(forwardButton_, this);
    closed_ = true;
    center_.post(bridge::note::closeWindow, this);
}

void WebViewWindowController::onTitle(GObject*, GParamSpec*, gpointer self) {
    auto* controller = static_cast<WebViewWindowController*>(self);
    const char* title = webkit_web_view_get_title(controller->webView_.get());
    if (!controller->closed_ && title) gtk_window_set_title(controller->window_.get(), title);
}

void WebViewWindowController::onHistoryChanged(WebKitBackForwardList*, WebKitBackForwardListItem*,
                                               gpointer, gpointer self) {
    static_cast<WebViewWindowController*>(self)->updateButtons();
}

void WebViewWindowController::updateButtons() {
    gtk_widget_set_sensitive(backButton_, webkit_web_view_can_go_back(webView_.get()));
    gtk_widget_set_sensitive(forwardButton_, webkit_web_view_can_go_forward(webView_.get()));
}

}  // namespace lumetta::host
