#pragma once

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <memory>
#include <string>

#include "base/raii/GObjectPtr.h"
#include "base/raii/SignalScope.h"
#include "bridge/NotificationCenter.h"
#include "host/gtk/NavigationBar.h"

namespace lumetta::host {

/// A secondary browser window: its own web view (no bridge), a header bar with back and
/// forward buttons that follow the view's history, and a title that follows the page. When its
/// window closes it posts "lumetta.closeWindow" with itself as the object, upon which the main
/// controller that keeps it lets it go. Main thread only; neither copyable nor movable, since
/// the window's and the view's signals point at it.
class WebViewWindowController {
  public:
    /// Builds the window and its web view and starts loading `uri`; the window is shown by
    /// show(). `center` receives the close notice and outlives the controller.
    WebViewWindowController(bridge::NotificationCenter& center, const std::string& uri);
    /// Stops following the view and destroys the window if it is still open.
    ~WebViewWindowController();
    WebViewWindowController(const WebViewWindowController&) = delete;
    WebViewWindowController& operator=(const WebViewWindowController&) = delete;

    /// Presents the window.
    void show();
    /// Closes the window as its close button would (which posts the close notice).
    void close();

    /// The window's web view (owned).
    WebKitWebView* webView() const { return webView_.get(); }
    /// The header bar's back button (owned by the window).
    GtkWidget* backButton() const { return buttons_.back; }
    /// The header bar's forward button (owned by the window).
    GtkWidget* forwardButton() const { return buttons_.forward; }
    /// The window; null once it has closed.
    GtkWindow* window() const { return closed_ ? nullptr : window_.get(); }

  private:
    static gboolean onCloseRequest(GtkWindow*, gpointer self);
    void windowWillClose();
    void updateTitle();

    bridge::NotificationCenter& center_;
    raii::GObjectPtr<GtkWindow> window_;
    raii::GObjectPtr<WebKitWebView> webView_;
    NavigationButtons buttons_;
    bool closed_ = false;
    std::unique_ptr<raii::SignalScope> windowSignals_;
    std::unique_ptr<NavigationBar> navigation_;  // only while the window is open
};

}  // namespace lumetta::host

namespace lumetta::bridge::note {
/// A child window closed; the object is its controller. Declared here, with the type it carries,
/// so that the bridge's list of names needs no host type.
inline constexpr Notification<host::WebViewWindowController*> closeWindow{"lumetta.closeWindow"};
}  // namespace lumetta::bridge::note
