#pragma once

#include <functional>

namespace lumetta::bridge {

/// The one way onto the main thread. Implemented on the GLib main loop by the host and by a
/// manual queue in tests.
class MainThread {
  public:
    virtual ~MainThread() = default;
    /// Schedules `task` on the main thread without waiting for it; callable from any thread.
    virtual void post(std::function<void()> task) = 0;
    /// True when called on the main thread.
    virtual bool isCurrent() const = 0;
};

}  // namespace lumetta::bridge
