#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/Liveness.h"
#include "bridge/NativeCall.h"
#include "host/XhrServer.h"

namespace lumetta::host {

/// What a page's interface asks of the controller that shows the page. Every operation runs on
/// the main thread; a controller that cannot do one ignores it.
class PageController {
  public:
    virtual ~PageController() = default;
    /// Evaluates `script` in the page without waiting for it.
    virtual void postJavaScriptFunction(const std::string& script) = 0;
    /// Runs a native command sent by the page ("name:json").
    virtual void nativeControl(const std::string& /*command*/) {}
    /// Navigates the page.
    virtual void loadURL(const std::string& /*url*/) {}
    /// Why a loopback call carrying this Origin field may not run, or nullopt when it may. Any
    /// thread: the loopback server asks from its own.
    virtual std::optional<std::string> refuseOrigin(std::string_view /*origin*/) const {
        return std::nullopt;
    }
};

/// Sits between one page's controller and its bridge: creates the NativeCall (and with it every
/// module), and relays the application's notifications addressed to this page (or to all).
/// Created and destroyed on the main thread; notification handlers run on the posting thread.
class JavaScriptInterface {
  public:
    /// `controller` and `services` outlive this object.
    JavaScriptInterface(PageController& controller, bridge::Services& services,
                        const std::vector<bridge::ModuleDescriptor>& modules);
    ~JavaScriptInterface();
    JavaScriptInterface(const JavaScriptInterface&) = delete;
    JavaScriptInterface& operator=(const JavaScriptInterface&) = delete;

    bridge::NativeCall& native() { return *native_; }
    /// Whether the page takes dropped files itself ($$app_dragdrop).
    bool dragdrop() const { return dragdrop_.load(); }
    /// Port of the loopback call server; 0 while there is none.
    unsigned portNo() const { return server_.port(); }
    /// The secret the loopback server's requests must carry; the page gets it from the user script.
    std::string xhrToken() const { return server_.token(); }
    /// (Re)starts the loopback call server: true when a restart had to move to another port.
    bool startXHRServer() { return server_.start(); }
    /// Stops the loopback call server and waits for its thread.
    void stopXHRServer() { server_.stop(); }
    /// Runs the main loop until the page declares itself ready or 30 s pass; main thread.
    /// `iterate` runs one iteration of the main loop, blocking at most until the deadline.
    void waitForReady(const std::function<void()>& iterate);

  private:
    /// Whether a notification for `addressee` (null: every page) concerns this page.
    bool addressedToMe(const bridge::NativeCall* addressee) const {
        return addressee == nullptr || addressee == native_.get();
    }

    PageController& controller_;
    bridge::Services& services_;
    std::atomic<bool> dragdrop_{false};
    std::unique_ptr<bridge::NativeCall> native_;
    XhrServer server_;  // calls the bridge from its own thread; stopped before the bridge goes
    bridge::Liveness alive_;
    std::vector<bridge::NotificationCenter::Token> observations_;  // last: stopped first
};

}  // namespace lumetta::host
