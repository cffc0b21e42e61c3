#pragma once

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <memory>
#include <optional>
#include <string>

#include "base/raii/GObjectPtr.h"
#include "base/raii/SignalScope.h"
#include "host/JavaScriptInterface.h"
#include "host/TrustPolicy.h"
#include "host/gtk/NavigationBar.h"
#include "host/gtk/WebViewWindowController.h"

namespace lumetta::host {

/// Whether a media capture request is granted without asking: camera and microphone are, a
/// request that includes the screen (display capture) is not.
bool mediaRequestGranted(bool audio, bool video, bool display);

/// Owns one page's web view and its interface: configures the view (user script, message
/// handlers, preferences, user agent), answers its navigation and UI hooks, and carries out
/// what the page's notifications ask. Main thread only; neither copyable nor movable, since
/// the view's signals point at it.
class WebViewController final : public PageController {
  public:
    struct Options {
        bool devtools = false;  ///< enable the web inspector
        /// Origins the user or packager listed, whose pages may use the bridge.
        std::vector<std::string> trustedOrigins;
    };

    /// Creates the interface, and with it the page's bridge and modules.
    WebViewController(bridge::Services& services,
                      const std::vector<bridge::ModuleDescriptor>& modules, Options options);
    /// A controller showing the bundled plugin page (html/plugin.html in the bundle directory),
    /// its view already built. Builds nothing off the main thread: null there.
    static std::unique_ptr<WebViewController> initForPlugin(
        bridge::Services& services, const std::vector<bridge::ModuleDescriptor>& modules,
        Options options);
    ~WebViewController() override;
    WebViewController(const WebViewController&) = delete;
    WebViewController& operator=(const WebViewController&) = delete;

    /// Builds the web view and loads `uri` (a file:// URI for local pages). Returns the view,
    /// which the caller places in its window; the controller keeps its own reference.
    GtkWidget* createWebView(const std::string& uri);

    /// The window whose title follows the page and whose back/forward buttons follow its
    /// history; not owned, must outlive the controller or be reset with nulls.
    void setWindow(GtkWindow* window, GtkWidget* backButton, GtkWidget* forwardButton);

    void postJavaScriptFunction(const std::string& script) override;
    void nativeControl(const std::string& command) override;
    /// Navigates the page; the page that asked vouches for the target's origin (trusted unless
    /// plain http: off loopback), since its calls run only while it is trusted.
    void loadURL(const std::string& url) override;
    std::optional<std::string> refuseOrigin(std::string_view origin) const override;

    /// The origins whose pages may use the bridge. Any thread.
    const TrustPolicy& trust() const { return trust_; }
    /// Whether the document now shown may use the bridge. Main thread.
    bool pageTrusted() const { return trusted_; }

    /// Evaluates `script` and runs the main loop until it answers: its value as text, "" for
    /// no value or an error, nullopt after 30 s. Main thread.
    std::optional<std::string> callJavaScriptFunction(const std::string& script);
    /// Runs the main loop until the page calls $$app_ready or 30 s pass. Main thread.
    void waitForReady();

    /// Opens a child browser window showing `uri`, keeps it in the child list and shows it.
    /// The returned controller lives until its window closes or closeAllWindows. Main thread.
    WebViewWindowController& openWindow(const std::string& uri);
    /// Forgets a child whose window closed ("lumetta.closeWindow"); it is destroyed on a later
    /// turn of the main loop, since it is still running its close handler. Main thread.
    void closeWindow(WebViewWindowController* controller);
    /// Closes every child window and forgets them all. Main thread.
    void closeAllWindows();
    /// The child windows now kept, oldest first. Main thread.
    std::vector<WebViewWindowController*> controllers() const;

    JavaScriptInterface& intf() { return *intf_; }
    WebKitWebView* webView() const { return webView_.get(); }

  private:
    template <int Channel>
    static void onScriptMessage(WebKitUserContentManager*, JSCValue* value, gpointer self);
    static gboolean onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer self);
    static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                   WebKitPolicyDecisionType type, gpointer self);
    static gboolean onPermissionRequest(WebKitWebView*, WebKitPermissionRequest* request, gpointer);
    static void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self);
    static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar*, GError*, gpointer self);
    void installUserScript();
    void guardNavigation(const std::string& uri);
    void applyTrust(const std::string& uri);
    void updateTitle();

    bridge::Services& services_;
    Options options_;
    std::vector<std::unique_ptr<WebViewWindowController>> controllers_;
    GtkWindow* window_ = nullptr;
    NavigationButtons buttons_;
    TrustPolicy trust_;         // before the interface: its loopback server asks it from its thread
    std::string committedUri_;  // the document now shown
    bool trusted_ = true;       // whether that document may use the bridge
    std::string untrustedOrigin_;  // how the window names an untrusted document
    bool guarded_ = false;         // calls refused ahead of an untrusted document's arrival
    std::unique_ptr<JavaScriptInterface> intf_;
    raii::GObjectPtr<WebKitUserContentManager> content_;
    raii::GObjectPtr<WebKitWebView> webView_;
    std::unique_ptr<raii::SignalScope> contentSignals_;
    std::unique_ptr<raii::SignalScope> viewSignals_;
    std::unique_ptr<NavigationBar> navigation_;  // once the view exists
    bridge::NotificationCenter::Token closeWindowObservation_;
};

}  // namespace lumetta::host
