// Event queue under several producer threads; also run under ThreadSanitizer.

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <thread>

#include "bridge/EventQueue.h"

using lumetta::bridge::EventQueue;
using lumetta::bridge::MainThread;

namespace {

// A real main thread of its own, like the GLib loop: runs posted tasks in order.
class LoopThread final : public MainThread {
  public:
    LoopThread() : thread_([this] { run(); }) {}
    ~LoopThread() override {
        {
            std::lock_guard guard(lock_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    void post(std::function<void()> task) override {
        {
            std::lock_guard guard(lock_);
            tasks_.push_back(std::move(task));
        }
        wake_.notify_all();
    }
    bool isCurrent() const override { return std::this_thread::get_id() == thread_.get_id(); }
    void waitIdle() {
        std::unique_lock guard(lock_);
        idle_.wait(guard, [this] { return tasks_.empty() && !busy_; });
    }

  private:
    void run() {
        std::unique_lock guard(lock_);
        while (true) {
            wake_.wait(guard, [this] { return stop_ || !tasks_.empty(); });
            if (tasks_.empty()) return;
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            busy_ = true;
            guard.unlock();
            task();
            guard.lock();
            busy_ = false;
            if (tasks_.empty()) idle_.notify_all();
        }
    }

    std::mutex lock_;
    std::condition_variable wake_, idle_;
    std::deque<std::function<void()>> tasks_;
    bool stop_ = false;
    bool busy_ = false;
    std::thread thread_;  // last: starts after the members it uses
};

// Events are "producer:sequence"; checks each arrives once and each producer's in order.
void expectCompleteAndOrdered(const std::vector<std::string>& got, int producers, int perProducer) {
    ASSERT_EQ(got.size(), static_cast<size_t>(producers * perProducer));
    std::map<int, int> next;
    for (auto& e : got) {
        int p = std::stoi(e.substr(0, e.find(':')));
        int seq = std::stoi(e.substr(e.find(':') + 1));
        ASSERT_EQ(seq, next[p]) << "producer " << p << " out of order or repeated";
        next[p] = seq + 1;
    }
}

}  // namespace

TEST(EventQueueConcurrency, ProducersOnManyThreadsDeliverEachEventOnceInOrder) {
    LoopThread loop;
    std::vector<std::string> delivered;  // touched only on the loop thread
    EventQueue queue(loop, [&](std::vector<std::string>& batch) {
        for (auto& e : batch) delivered.push_back(std::move(e));
    });
    queue.setDelivery(true);
    constexpr int kProducers = 4, kEach = 5000;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) queue.post(std::to_string(p) + ":" + std::to_string(i));
        });
    for (auto& t : producers) t.join();
    loop.waitIdle();
    expectCompleteAndOrdered(delivered, kProducers, kEach);
}

TEST(EventQueueConcurrency, TogglingDeliveryWhileProducingLosesNothing) {
    LoopThread loop;
    std::vector<std::string> delivered;
    EventQueue queue(loop, [&](std::vector<std::string>& batch) {
        for (auto& e : batch) delivered.push_back(std::move(e));
    });
    constexpr int kProducers = 3, kEach = 3000;
    std::atomic<bool> done{false};
    std::thread toggler([&] {
        bool on = false;
        while (!done.load()) {
            on = !on;
            queue.setDelivery(on);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) queue.post(std::to_string(p) + ":" + std::to_string(i));
        });
    for (auto& t : producers) t.join();
    done = true;
    toggler.join();
    queue.setDelivery(true);
    loop.waitIdle();
    expectCompleteAndOrdered(delivered, kProducers, kEach);
}

TEST(EventQueueConcurrency, TakingEventsOneByOneRacesSafelyWithDrains) {
    LoopThread loop;
    std::vector<std::string> delivered;
    EventQueue queue(loop, [&](std::vector<std::string>& batch) {
        for (auto& e : batch) delivered.push_back(std::move(e));
    });
    constexpr int kEach = 4000;
    std::vector<std::string> taken;
    std::thread producer([&] {
        for (int i = 0; i < kEach; ++i) queue.post("0:" + std::to_string(i));
    });
    std::thread taker([&] {
        for (int i = 0; i < kEach / 2; ++i)
            if (auto e = queue.take()) taken.push_back(*e);
    });
    producer.join();
    taker.join();
    queue.setDelivery(true);
    loop.waitIdle();
    // Together the two consumers saw every event exactly once, each side in order.
    std::vector<std::string> all = taken;
    all.insert(all.end(), delivered.begin(), delivered.end());
    ASSERT_EQ(all.size(), static_cast<size_t>(kEach));
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
    for (size_t i = 1; i < taken.size(); ++i)
        EXPECT_LT(std::stoi(taken[i - 1].substr(2)), std::stoi(taken[i].substr(2)));
}
