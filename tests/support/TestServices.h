#pragma once

// Doubles for the platform services, for tests that need no display and no main loop.

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "bridge/NativeCall.h"
#include "bridge/Services.h"

namespace lumetta::test {

/// A main thread that runs what was posted only when the test says so.
class ManualMainThread final : public bridge::MainThread {
  public:
    void post(std::function<void()> task) override {
        std::lock_guard guard(lock_);
        tasks_.push_back(std::move(task));
    }
    bool isCurrent() const override { return std::this_thread::get_id() == owner_; }

    /// Runs posted tasks, including those they post, until none is left; returns how many ran.
    size_t runPending() {
        size_t count = 0;
        while (true) {
            std::function<void()> task;
            {
                std::lock_guard guard(lock_);
                if (tasks_.empty()) return count;
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
            ++count;
        }
    }
    size_t pending() {
        std::lock_guard guard(lock_);
        return tasks_.size();
    }

  private:
    std::thread::id owner_ = std::this_thread::get_id();
    std::mutex lock_;
    std::deque<std::function<void()>> tasks_;
};

class MemoryStore final : public bridge::KeyValueStore {
  public:
    std::optional<std::string> get(const std::string& key) override {
        std::lock_guard guard(lock_);
        auto it = values.find(key);
        return it == values.end() ? std::nullopt : std::optional(it->second);
    }
    bool set(const std::string& key, const std::string& value) override {
        std::lock_guard guard(lock_);
        if (failWrites) return false;
        values[key] = value;
        return true;
    }
    std::map<std::string, std::string> values;
    bool failWrites = false;

  private:
    std::mutex lock_;
};

class RecordingApplication final : public bridge::Application {
  public:
    void terminate() override { ++terminated; }
    std::atomic<int> terminated{0};
};

/// Services of doubles plus a page stand-in: every script the bridge evaluates is kept, and
/// events are decoded back from the delivered dispatch calls.
class TestHost {
  public:
    TestHost() {
        evalToken_ =
            center.observe(bridge::note::evalJavaScript, [this](const std::string& script) {
                std::lock_guard guard(lock_);
                scripts.push_back(script);
            });
    }

    std::vector<std::string> takeScripts() {
        std::lock_guard guard(lock_);
        return std::exchange(scripts, {});
    }

    ManualMainThread mainThread;
    bridge::NotificationCenter center;
    MemoryStore store;
    RecordingApplication application;
    bridge::Services services{mainThread, center, store, application};
    std::vector<std::string> scripts;

  private:
    std::mutex lock_;
    bridge::NotificationCenter::Token evalToken_;
};

/// Reads back the text of every single-quoted literal passed to window.$event.dispatch, the way
/// a script parser would (only the escapes the bridge writes are understood).
std::vector<std::string> dispatchedEvents(const std::vector<std::string>& scripts);

/// Unescapes one single-quoted script literal body.
std::string unescapeLiteral(std::string_view literal);

}  // namespace lumetta::test
