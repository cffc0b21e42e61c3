#include "host/gtk/NavigationBar.h"

#include <syslog.h>

#include <exception>
#include <utility>

namespace lumetta::host {

namespace {
// A reference of our own to a widget someone else owns (never floating here).
raii::GObjectPtr<GtkWidget> keep(GtkWidget* widget) {
    return raii::GObjectPtr<GtkWidget>(widget ? GTK_WIDGET(g_object_ref(widget)) : nullptr);
}
}  // namespace

NavigationButtons NavigationBar::installHeaderBar(GtkWindow* window) {
    GtkWidget* header = gtk_header_bar_new();
    NavigationButtons buttons{gtk_button_new_from_icon_name("go-previous-symbolic"),
                              gtk_button_new_from_icon_name("go-next-symbolic")};
    gtk_widget_set_tooltip_text(buttons.back, "Back");
    gtk_widget_set_tooltip_text(buttons.forward, "Forward");
    gtk_widget_add_css_class(buttons.back, "flat");
    gtk_widget_add_css_class(buttons.forward, "flat");
    gtk_header_bar_pack_start(GTK_HEADER_BAR(header), buttons.back);
    gtk_header_bar_pack_start(GTK_HEADER_BAR(header), buttons.forward);
    gtk_window_set_titlebar(window, header);
    return buttons;
}

NavigationBar::NavigationBar(WebKitWebView* view, std::function<void()> titleChanged)
    : view_(WEBKIT_WEB_VIEW(g_object_ref(view))), titleChanged_(std::move(titleChanged)) {
    viewSignals_ = std::make_unique<raii::SignalScope>(view, this);
    g_signal_connect(view, "notify::title", G_CALLBACK(onTitle), this);
    WebKitBackForwardList* history = webkit_web_view_get_back_forward_list(view);
    historySignals_ = std::make_unique<raii::SignalScope>(history, this);
    g_signal_connect(history, "changed", G_CALLBACK(onHistoryChanged), this);
}

NavigationBar::~NavigationBar() {
    historySignals_.reset();
    viewSignals_.reset();
    forwardSignals_.reset();
    backSignals_.reset();
}

void NavigationBar::setButtons(NavigationButtons buttons) {
    backSignals_.reset();
    forwardSignals_.reset();
    back_ = keep(buttons.back);
    forward_ = keep(buttons.forward);
    if (back_) {
        backSignals_ = std::make_unique<raii::SignalScope>(back_.get(), this);
        g_signal_connect(back_.get(), "clicked", G_CALLBACK(onBack), this);
    }
    if (forward_) {
        forwardSignals_ = std::make_unique<raii::SignalScope>(forward_.get(), this);
        g_signal_connect(forward_.get(), "clicked", G_CALLBACK(onForward), this);
    }
    updateButtons();
}

void NavigationBar::goBack() {
    webkit_web_view_go_back(view_.get());
}

void NavigationBar::goForward() {
    webkit_web_view_go_forward(view_.get());
}

void NavigationBar::onTitle(GObject*, GParamSpec*, gpointer self) {
    auto* bar = static_cast<NavigationBar*>(self);
    try {
        if (bar->titleChanged_) bar->titleChanged_();
    } catch (const std::exception& e) {
        syslog(LOG_ERR, "cannot show the page's title: %s", e.what());
    }
}

void NavigationBar::onHistoryChanged(WebKitBackForwardList*, WebKitBackForwardListItem*, gpointer,
                                     gpointer self) {
    static_cast<NavigationBar*>(self)->updateButtons();
}

void NavigationBar::onBack(GtkButton*, gpointer self) {
    static_cast<NavigationBar*>(self)->goBack();
}

void NavigationBar::onForward(GtkButton*, gpointer self) {
    static_cast<NavigationBar*>(self)->goForward();
}

void NavigationBar::updateButtons() {
    if (back_) gtk_widget_set_sensitive(back_.get(), webkit_web_view_can_go_back(view_.get()));
    if (forward_)
        gtk_widget_set_sensitive(forward_.get(), webkit_web_view_can_go_forward(view_.get()));
}

}  // namespace lumetta::host
