#include "audio/MainThreadTimer.h"

#include <algorithm>

namespace lumetta::audio {

MainThreadTimer::MainThreadTimer(bridge::MainThread& mainThread)
    : mainThread_(mainThread), thread_([this] { run(); }) {}

MainThreadTimer::~MainThreadTimer() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void MainThreadTimer::after(std::chrono::milliseconds delay, std::function<void()> task) {
    {
        std::lock_guard guard(lock_);
        pending_.push_back({std::chrono::steady_clock::now() + delay, std::move(task)});
    }
    wake_.notify_all();
}

void MainThreadTimer::run() {
    std::unique_lock guard(lock_);
    while (!stopping_) {
        if (pending_.empty()) {
            wake_.wait(guard);
            continue;
        }
        auto first = std::min_element(pending_.begin(), pending_.end(),
                                      [](auto& a, auto& b) { return a.due < b.due; });
        if (std::chrono::steady_clock::now() < first->due) {
            // A copy: the wait lets go of the lock, and a task added meanwhile may move the list.
            const auto due = first->due;
            wake_.wait_until(guard, due);
            continue;
        }
        auto task = std::move(first->task);
        pending_.erase(first);
        mainThread_.post(std::move(task));
    }
}

}  // namespace lumetta::audio
