#include "host/JavaScriptInterface.h"

#include <chrono>

namespace lumetta::host {

using namespace lumetta::bridge;

namespace {
std::string stringObject(const Notification& n) {
    if (auto* s = std::any_cast<std::string>(&n.object)) return *s;
    if (auto* a = std::any_cast<Arg>(&n.object)) return a->value_or("");
    if (auto* c = std::any_cast<const char*>(&n.object)) return *c ? *c : "";
    return {};
}
}  // namespace

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
    observations_.push_back(center.observe(note::postEvent, [this](const Notification& n) {
        if (addressedToMe(n)) native_->postEvent(stringObject(n));
    }));
    observations_.push_back(center.observe(note::evalJavaScript, [this](const Notification& n) {
        if (addressedToMe(n)) controller_.postJavaScriptFunction(stringObject(n));
    }));
    observations_.push_back(center.observe(note::nativeControl, [this](const Notification& n) {
        if (!addressedToMe(n)) return;
        services_.mainThread.post([this, alive = alive_.watch(), command = stringObject(n)] {
            if (!alive.expired()) controller_.nativeControl(command);
        });
    }));
    observations_.push_back(center.observe(note::nativeLocate, [this](const Notification& n) {
        if (!addressedToMe(n)) return;
        services_.mainThread.post([this, alive = alive_.watch(), url = stringObject(n)] {
            if (!alive.expired()) controller_.loadURL(url);
        });
    }));
    observations_.push_back(center.observe(note::enableDragDrop, [this](const Notification& n) {
        if (!addressedToMe(n)) return;
        const Arg* arg = std::any_cast<Arg>(&n.object);
        dragdrop_.store(boolValue(arg ? *arg : Arg(stringObject(n))));
    }));
    observations_.push_back(center.observe(note::dropFiles, [this](const Notification& n) {
        if (!addressedToMe(n)) return;
        if (auto* paths = std::any_cast<std::vector<std::string>>(&n.object))
            native_->setDropfiles(*paths);
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
