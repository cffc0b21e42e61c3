#include "bridge/EventQueue.h"

namespace lumetta::bridge {

EventQueue::EventQueue(MainThread& mainThread, Deliver deliver)
    : mainThread_(mainThread), deliver_(std::move(deliver)) {}

// Drains and destruction both happen on the main thread, so a drain scheduled earlier sees the
// expired pointer and does nothing.
EventQueue::~EventQueue() = default;

void EventQueue::scheduleDrainLocked() {
    triggered_ = true;
    mainThread_.post([this, alive = alive_.watch()] {
        if (!alive.expired()) drain();
    });
}

void EventQueue::post(std::string event) {
    std::lock_guard guard(lock_);
    queue_.push_back(std::move(event));
    if (!event_.load() || triggered_) return;
    scheduleDrainLocked();
}

void EventQueue::drain() {
    std::vector<std::string> batch;
    batch.reserve(64);
    while (true) {
        if (!event_.load()) return;  // leaves triggered_ as it is; switching on reschedules
        {
            std::lock_guard guard(lock_);
            if (queue_.empty()) {
                triggered_ = false;
                return;
            }
            while (!queue_.empty() && batch.size() < kMaxBatch) {
                batch.push_back(std::move(queue_.front()));
                queue_.pop_front();
            }
        }
        deliver_(batch);
        batch.clear();
    }
}

void EventQueue::setDelivery(bool on) {
    std::lock_guard guard(lock_);
    triggered_ = on;
    event_.store(on);
    if (on) scheduleDrainLocked();
}

std::optional<std::string> EventQueue::take() {
    std::lock_guard guard(lock_);
    if (queue_.empty()) return std::nullopt;
    std::string event = std::move(queue_.front());
    queue_.pop_front();
    return event;
}

size_t EventQueue::size() const {
    std::lock_guard guard(lock_);
    return queue_.size();
}

}  // namespace lumetta::bridge
