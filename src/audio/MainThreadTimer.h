#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "bridge/MainThread.h"

namespace lumetta::audio {

/// Runs tasks on the main thread after a delay. Tasks still waiting when it is destroyed are
/// dropped; a task already handed to the main thread must check its owner's liveness itself.
class MainThreadTimer {
  public:
    explicit MainThreadTimer(bridge::MainThread& mainThread);
    ~MainThreadTimer();
    MainThreadTimer(const MainThreadTimer&) = delete;
    MainThreadTimer& operator=(const MainThreadTimer&) = delete;

    /// Posts `task` to the main thread once `delay` has passed. Any thread.
    void after(std::chrono::milliseconds delay, std::function<void()> task);

  private:
    struct Pending {
        std::chrono::steady_clock::time_point due;
        std::function<void()> task;
    };
    void run();

    bridge::MainThread& mainThread_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::vector<Pending> pending_;
    std::thread thread_;  // last: started once everything it uses exists
};

}  // namespace lumetta::audio
