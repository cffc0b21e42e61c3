#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bridge/Liveness.h"
#include "bridge/MainThread.h"

namespace lumetta::bridge {

/// The ordered queue of bridge events waiting for the page.
///
/// Producers post from any thread and never wait for the main thread: at most one drain is
/// scheduled at a time (`triggered`). The drain runs on the main thread while delivery is on
/// and hands events over in batches, oldest first; the lock is held only to move events out.
class EventQueue {
  public:
    /// Receives a batch of events in posting order; main thread.
    using Deliver = std::function<void(std::vector<std::string>& batch)>;

    /// `deliver` is called by drains scheduled on `mainThread`; both must outlive the queue.
    EventQueue(MainThread& mainThread, Deliver deliver);
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    /// Appends an event; schedules a drain when delivery is on and none is pending. Any thread.
    void post(std::string event);

    /// Delivers queued events while delivery stays on; main thread.
    void drain();

    /// Switches delivery on or off under the lock; on schedules a fresh drain. Any thread.
    void setDelivery(bool on);

    /// Switches delivery off without scheduling anything (a new document is loading).
    void stopDelivery() { event_.store(false); }

    bool delivery() const { return event_.load(); }

    /// Removes the oldest event, if any, under the lock. Any thread.
    std::optional<std::string> take();

    /// Number of queued events. Any thread.
    size_t size() const;

    /// Most events handed over in one batch.
    static constexpr size_t kMaxBatch = 2048;

  private:
    void scheduleDrainLocked();

    MainThread& mainThread_;
    Deliver deliver_;
    mutable std::mutex lock_;
    std::deque<std::string> queue_;
    bool triggered_ = false;          // guarded by lock_
    std::atomic<bool> event_{false};  // written under lock_ by setDelivery
    Liveness alive_;                  // drains scheduled before destruction check it
};

}  // namespace lumetta::bridge
