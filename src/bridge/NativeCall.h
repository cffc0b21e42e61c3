#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/BridgeText.h"
#include "bridge/EventQueue.h"
#include "bridge/Module.h"
#include "bridge/Services.h"

namespace lumetta::bridge {

/// The single object through which one page's scripts reach native code: it dispatches calls
/// from every channel, owns the event queue, and owns the modules and their functions.
///
/// Created and destroyed on the main thread. Calls arrive on the main thread (message and
/// prompt channels) or on the loopback server's thread; events may be posted from any thread.
class NativeCall {
  public:
    /// Builds every module of `modules` in order; makes this the current bridge.
    NativeCall(Services& services, const std::vector<ModuleDescriptor>& modules);
    ~NativeCall();
    NativeCall(const NativeCall&) = delete;
    NativeCall& operator=(const NativeCall&) = delete;

    /// The most recently created bridge that still exists, or null.
    static NativeCall* current();

    /// Runs one bridge function by its page name ("$$fs_stat"); "v" when there is none.
    std::string call(std::string_view function, const Arg& arg1, const Arg& arg2);

    /// Prompt format: function \f arg1 \f arg2, arguments percent-decoded.
    std::string dispatch2(std::string_view body);

    /// Header format: the function and the two still percent-encoded arguments.
    std::string dispatchHeaders(const Arg& method, const Arg& arg1, const Arg& arg2);

    /// A script message from the page ("lumetta1", "lumetta2" or "prompt"); main thread.
    void didReceiveScriptMessage(std::string_view name, std::string_view body);

    /// Queues a bridge event for the page; any thread.
    void postEvent(std::string event);

    /// Delivers queued events into the page while delivery is on; main thread.
    void processEvent() { queue_.drain(); }

    EventQueue& queue() { return queue_; }
    Services& services() { return services_; }
    const FunctionTable& functions() const { return functions_; }

    bool ready() const { return ready_.load(); }
    void setReady(bool ready) { ready_.store(ready); }
    bool event() const { return queue_.delivery(); }
    /// Switches delivery; `true` schedules a drain.
    void setEvent(bool on) { queue_.setDelivery(on); }

    std::optional<std::string> clipboard() const;
    void setClipboard(std::optional<std::string> text);
    std::vector<std::string> dropfiles() const;
    void setDropfiles(std::vector<std::string> paths);

    /// While a reason is set, every call on every channel answers "e" + reason and runs
    /// nothing: the page shown is not trusted. nullopt lets calls run again. Any thread.
    void setRefusal(std::optional<std::string> reason);
    std::optional<std::string> refusal() const;

    /// A script condition the page must meet for queued events to be dispatched in it: the view
    /// may show another document by the time a batch is evaluated. Empty: none. Any thread.
    void setEventCondition(std::string condition);

    /// Ends the application (main thread).
    void exit();

    /// The window showing this bridge's page (a GtkWindow* in the application; null in tests
    /// and before the page's view exists). Set and read on the main thread.
    void* window() const { return window_; }
    void setWindow(void* window) { window_ = window; }

    /// Speech-result protocol: posts "recognizer" \f type \f payload to every page.
    void result(const Arg& type, const Arg& payload);

    /// The first module of type T, or null.
    template <class T>
    T* module() const {
        for (auto& m : modules_)
            if (auto* t = dynamic_cast<T*>(m.module.get())) return t;
        return nullptr;
    }

  private:
    void evalJavaScript(std::string script);
    void deliverEvents(std::vector<std::string>& batch);

    struct Owned {
        std::string name;
        int teardownRank;
        std::unique_ptr<Module> module;
    };

    Services& services_;
    FunctionTable functions_;
    EventQueue queue_;
    std::atomic<bool> ready_{false};
    mutable std::mutex propertyLock_;
    std::optional<std::string> clipboard_;
    std::vector<std::string> dropfiles_;
    std::optional<std::string> refusal_;  // guarded by propertyLock_
    std::string eventCondition_;          // guarded by propertyLock_
    void* window_ = nullptr;
    std::vector<Owned> modules_;  // creation order
};

}  // namespace lumetta::bridge
