#pragma once

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <functional>
#include <memory>

#include "base/raii/GObjectPtr.h"
#include "base/raii/SignalScope.h"

namespace lumetta::host {

/// A window's back and forward buttons, as a header bar puts them.
struct NavigationButtons {
    GtkWidget* back = nullptr;     ///< owned by the window; may be null
    GtkWidget* forward = nullptr;  ///< owned by the window; may be null
};

/// Follows one web view for the window that shows it: each change of the view's title calls
/// the title handler, and the view's back/forward list enables or disables the back and forward
/// buttons, whose clicks go back and forward in the view. Main thread only; neither copyable
/// nor movable, since the view's, its history's and the buttons' signals point at it, and all
/// of them are disconnected when it goes.
class NavigationBar {
  public:
    /// Builds a header bar with a back and a forward button and makes it `window`'s title bar.
    /// The buttons follow nothing until they are given to a NavigationBar.
    static NavigationButtons installHeaderBar(GtkWindow* window);

    /// Follows `view`, keeping a reference to it. `titleChanged` is called on every change of
    /// the view's title, never after the bar is destroyed.
    NavigationBar(WebKitWebView* view, std::function<void()> titleChanged);
    ~NavigationBar();
    NavigationBar(const NavigationBar&) = delete;
    NavigationBar& operator=(const NavigationBar&) = delete;

    /// Makes `buttons` (either may be null) follow the view's history and act on it, in place of
    /// any given before; their sensitivity is set at once.
    void setButtons(NavigationButtons buttons);

    void goBack();
    void goForward();

  private:
    static void onTitle(GObject*, GParamSpec*, gpointer self);
    static void onHistoryChanged(WebKitBackForwardList*, WebKitBackForwardListItem*, gpointer,
                                 gpointer self);
    static void onBack(GtkButton*, gpointer self);
    static void onForward(GtkButton*, gpointer self);
    void updateButtons();

    raii::GObjectPtr<WebKitWebView> view_;
    std::function<void()> titleChanged_;
    // Held so that a button gone from its window cannot leave us a dangling pointer.
    raii::GObjectPtr<GtkWidget> back_;
    raii::GObjectPtr<GtkWidget> forward_;
    std::unique_ptr<raii::SignalScope> backSignals_;
    std::unique_ptr<raii::SignalScope> forwardSignals_;
    std::unique_ptr<raii::SignalScope> viewSignals_;
    std::unique_ptr<raii::SignalScope> historySignals_;
};

}  // namespace lumetta::host
