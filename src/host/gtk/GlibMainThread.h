#pragma once

#include <thread>

#include "base/Scheduling.h"
#include "bridge/MainThread.h"

namespace lumetta::host {

/// The main thread of the GLib default main context: tasks become idle sources at default
/// priority, so they run in the order they were posted.
class GlibMainThread final : public bridge::MainThread {
  public:
    /// Construct on the thread that runs the default main context. That thread hands events
    /// and MIDI to the page, so it asks for a short slice to wake promptly on a busy machine.
    GlibMainThread() : owner_(std::this_thread::get_id()) { base::requestShortTimeSlice(); }
    void post(std::function<void()> task) override;
    bool isCurrent() const override { return std::this_thread::get_id() == owner_; }

  private:
    std::thread::id owner_;
};

}  // namespace lumetta::host
