#pragma once

// The sh bridge module: runs command lines through the shell with their output streamed to
// the page, and asks desktop applications to quit.

#include <memory>
#include <mutex>

#include "bridge/Module.h"

namespace lumetta::bridge {
class NativeCall;
}

namespace lumetta::modules::sh {

/// The sh module.
bridge::ModuleDescriptor descriptor();

/// Hands shell-task events to one page's bridge for as long as the module exists; tasks that
/// outlive the page post into nothing. Shared by the module and its tasks; any thread.
class EventRelay {
  public:
    explicit EventRelay(bridge::NativeCall* native) : native_(native) {}
    /// Posts `event` unless the page is gone.
    void post(std::string event);
    /// Cuts the relay off; events posted afterwards are dropped.
    void detach();

  private:
    std::mutex lock_;
    bridge::NativeCall* native_;  // not owned; null once detached
};

/// The module object: owns the relay its tasks post through. Functions run on the calling
/// channel's thread; a task reads its output on that thread's main loop.
class ShModule final : public bridge::Module {
  public:
    explicit ShModule(bridge::ModuleContext& context);
    ~ShModule() override;
    ShModule(const ShModule&) = delete;
    ShModule& operator=(const ShModule&) = delete;

  private:
    std::shared_ptr<EventRelay> relay_;
};

}  // namespace lumetta::modules::sh
