#include "host/JavaScriptInterface.h"

#include <chrono>

namespace lumetta::host {

using namespace lumetta::bridge;

JavaScriptInterface::JavaScriptInterface(PageController& controller, Services& services,
                                         const std::vector<ModuleDescriptor>& modules)
    : controller_(controller),
      services_(services),
      native_(std::make_unique<NativeCall>(services, modules)),
      server_([this](const Arg& method, const Arg& arg1, const Arg& arg2) {
          return native_->dispatchHeaders(method, arg1, arg2);
      }) {
    // The bridge exists before the relays start, so a notification from another thread never
    // finds it missing.
    auto& center = services.center;
    observations_.push_back(
        center.observe(note::postEvent, [this](const std::string& event, NativeCall* to) {
            if (addressedToMe(to)) native_->postEvent(event);
        }));
    observations_.push_back(
        center.observe(note::evalJavaScript, [this](const std::string& script, NativeCall* to) {
            if (addressedToMe(to)) controller_.postJavaScriptFunction(script);
        }));
    observations_.push_back(
        center.observe(note::nativeControl, [this](const std::string& command, NativeCall* to) {
            if (!addressedToMe(to)) return;
            services_.mainThread.post([this, alive = alive_.watch(), command] {
                if (!alive.expired()) controller_.nativeControl(command);
            });
        }));
    observations_.push_back(
        center.observe(note::nativeLocate, [this](const std::string& url, NativeCall* to) {
            if (!addressedToMe(to)) return;
            services_.mainThread.post([this, alive = alive_.watch(), url] {
                if (!alive.expired()) controller_.loadURL(url);
            });
        }));
    observations_.push_back(
        center.observe(note::enableDragDrop, [this](const Arg& on, NativeCall* to) {
            if (addressedToMe(to)) dragdrop_.store(boolValue(on));
        }));
    observations_.push_back(center.observe(
        note::dropFiles, [this](const std::vector<std::string>& paths, NativeCall* to) {
            if (addressedToMe(to)) native_->setDropfiles(paths);
        }));
    server_.setAdmit([this](const Arg& origin) -> std::optional<std::string> {
        // Requests without an Origin field carry the token, which only trusted frames get.
        try {
            return origin ? controller_.refuseOrigin(*origin) : std::nullopt;
        } catch (const std::exception& e) {
            return std::string("cannot check the request's origin: ") + e.what();
        }
    });
    // Ready before the page's view exists: its user script carries the port and the token.
    server_.start();
}

JavaScriptInterface::~JavaScriptInterface() {
    native_->setEvent(false);
    // Stop the relays first: a notification from another thread must not reach a bridge that
    // is being torn down.
    observations_.clear();
    server_.stop();
    native_.reset();
}

void JavaScriptInterface::waitForReady(const std::function<void()>& iterate) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!native_->ready() && std::chrono::steady_clock::now() < deadline) iterate();
}

}  // namespace lumetta::host
