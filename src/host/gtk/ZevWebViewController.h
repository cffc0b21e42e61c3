#pragma once

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/raii/GObjectPtr.h"
#include "base/raii/GSourceId.h"
#include "base/raii/SignalScope.h"
#include "bridge/BridgeText.h"
#include "bridge/Liveness.h"
#include "bridge/Services.h"
#include "host/ZevGeometry.h"

namespace lumetta::host {

/// Navigation result codes of the panel, posted as the onZevWebViewNotify event.
namespace zevcode {
inline constexpr int finished = 0;       ///< a navigation finished
inline constexpr int failed = 256;       ///< any failure not listed below
inline constexpr int timedOut = 257;     ///< no answer within the time-out
inline constexpr int unreachable = 258;  ///< host not found, refused, network unreachable or lost
}  // namespace zevcode

/// Maps a load failure of WebKitGTK onto the panel's result codes:
/// - 257: G_IO_ERROR_TIMED_OUT (and the panel's own time-out, see ZevWebViewController);
/// - 258: G_IO_ERROR_HOST_NOT_FOUND, _CONNECTION_REFUSED, _HOST_UNREACHABLE,
///   _NETWORK_UNREACHABLE, _CONNECTION_CLOSED (= _BROKEN_PIPE; also a reset), _NOT_CONNECTED,
///   and G_RESOLVER_ERROR_NOT_FOUND / _TEMPORARY_FAILURE (the name lookup failed);
/// - 256: everything else, among them the WebKit network and policy errors (unknown
///   protocol, cancelled, missing file, restricted port) and a null error.
int zevNavigationCode(const GError* error);

/// The secondary panel ("ZEV"): a second web page in a rectangle laid over the main web view,
/// which the main page ("ZOM") drives through the zev bridge functions. The panel has its own
/// configuration and no bridge; its script messages to "sendMsgToZOM" and its load results
/// reach every page as "zev" events through "lumetta.postEvent".
///
/// Created and destroyed on the main thread; the command notifications may be posted on any
/// thread and their work is moved to the main thread. Neither copyable nor movable: the view's
/// signals and the notification observers point at it.
class ZevWebViewController {
  public:
    /// Adds the panel (hidden, zero frame, no page) over `mainView`, which must be the child of
    /// `overlay`; both are not owned and must outlive the controller. Registers for the five
    /// command notifications on `services.center`.
    ZevWebViewController(bridge::Services& services, GtkOverlay* overlay, WebKitWebView* mainView);
    ~ZevWebViewController();
    ZevWebViewController(const ZevWebViewController&) = delete;
    ZevWebViewController& operator=(const ZevWebViewController&) = delete;

    /// The panel's web view (owned).
    WebKitWebView* webViewZEV() const { return webViewZEV_.get(); }
    /// The main web view the panel lies over (not owned).
    WebKitWebView* webViewZOM() const { return webViewZOM_; }
    /// The panel's frame in the main view's coordinates (as last configured).
    const ZevRect& frame() const { return frame_; }

    /// How long a navigation may wait for its first answer before it is stopped and reported
    /// with 257 (60 s unless changed). Main thread.
    void setNavigationTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }

    /// The workers, on the main thread (the notifications reach them through these).
    void zevViewPositionConfig(const bridge::Arg& geometry);
    void showWebViewZEV();
    void hideWebViewZEV();
    void openPageInZEVView(const bridge::Arg& url);
    void sendMsgToZEV(const bridge::Arg& message);

  private:
    static gboolean onChildPosition(GtkOverlay*, GtkWidget* widget, GdkRectangle* allocation,
                                    gpointer self);
    static void onScriptMessage(WebKitUserContentManager*, JSCValue* value, gpointer self);
    static void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self);
    static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error,
                                 gpointer self);
    static gboolean onRunFileChooser(WebKitWebView*, WebKitFileChooserRequest* request,
                                     gpointer self);
    void observe(const bridge::Notification<bridge::Arg>& note,
                 std::function<void(ZevWebViewController&, const bridge::Arg&)> worker);
    void triggerOnSendMsgToZOM(std::string body);
    void triggerOnZevWebViewNotify(int code);
    void startTimeout();
    void stopTimeout();

    bridge::Services& services_;
    GtkOverlay* overlay_;
    WebKitWebView* webViewZOM_;
    raii::GObjectPtr<WebKitUserContentManager> content_;
    raii::GObjectPtr<WebKitWebView> webViewZEV_;
    ZevRect frame_;
    std::chrono::milliseconds timeout_{60000};
    raii::GSourceId timeoutSource_;
    bool loadFailed_ = false;  // the current load already reported its failure
    bool timedOut_ = false;    // the current load was stopped by the time-out
    std::unique_ptr<raii::SignalScope> overlaySignals_;
    std::unique_ptr<raii::SignalScope> contentSignals_;
    std::unique_ptr<raii::SignalScope> viewSignals_;
    bridge::Liveness alive_;
    std::vector<bridge::NotificationCenter::Token> observations_;  // last: stopped first
};

}  // namespace lumetta::host
