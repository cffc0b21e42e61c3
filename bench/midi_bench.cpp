// MIDI input path benchmark: from bytes arriving on the virtual service's receive thread to the
// bridge's event delivery on the main thread (the evaluated dispatch script), with the real
// parser, client, adapter and event queue in between.
//
// Reports the latency at 1,000 messages a second (median, 99th percentile, worst) and the
// highest rate of 3-byte messages and of 512-byte SysEx messages delivered without loss.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "bridge/NativeCall.h"
#include "bridge/Services.h"
#include "midi/ServiceSelection.h"
#include "midi/Timestamp.h"
#include "midi/virtual/VirtualMIDIService.h"
#include "modules/midi/MidiModule.h"
#include "support/NullServices.h"

using namespace lumetta;
using Clock = std::chrono::steady_clock;

namespace {

/// A main thread that runs its tasks on a thread of its own.
class ThreadMainThread final : public bridge::MainThread {
  public:
    ThreadMainThread() : thread_([this] { run(); }) {}
    ~ThreadMainThread() override {
        {
            std::lock_guard guard(lock_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    void post(std::function<void()> task) override {
        {
            std::lock_guard guard(lock_);
            tasks_.push_back(std::move(task));
        }
        wake_.notify_one();
    }
    bool isCurrent() const override { return std::this_thread::get_id() == thread_.get_id(); }

  private:
    void run() {
        std::unique_lock guard(lock_);
        for (;;) {
            wake_.wait(guard, [this] { return stopping_ || !tasks_.empty(); });
            if (stopping_) return;
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            guard.unlock();
            task();
            guard.lock();
        }
    }
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::thread thread_;  // last
};

constexpr size_t kIds = 1 << 14;  // ids carried in two data bytes

int hexDigit(char c) {
    return c <= '9' ? c - '0' : c - 'A' + 10;
}

/// The bridge with the midi module on a virtual source, and a page stand-in that reads each
/// delivered "message" event back out of the evaluated script.
class Bench {
  public:
    Bench() {
        midi::setServiceFactory(
            [this](const std::string& name) { return system_->openClient(name); });
        source_ =
            system_->addSource(midi::VirtualMIDISystem::EndpointSpec{"Bench", 4711, {}, {}, {}});
        token_ = center_.observe(bridge::note::evalJavaScript, [this](const std::string& script) {
            const uint64_t now = midi::current_host_time();
            // Each event reads ...message\f<hex>\f<time>... with the form feeds escaped.
            static const std::string key = "message\\f";
            for (size_t at = script.find(key); at != std::string::npos;
                 at = script.find(key, at + 1)) {
                const size_t hex = at + key.size();
                if (hex + 6 > script.size()) break;
                const int b1 = hexDigit(script[hex + 2]) * 16 + hexDigit(script[hex + 3]);
                const int b2 = hexDigit(script[hex + 4]) * 16 + hexDigit(script[hex + 5]);
                const size_t id = (static_cast<size_t>(b1) << 7 | static_cast<size_t>(b2)) % kIds;
                const uint64_t sent = sentAt_[id].load(std::memory_order_acquire);
                if (recording_.load()) latencies_.push_back(now - sent);
                delivered_.fetch_add(1, std::memory_order_release);
            }
        });
        native_ = std::make_unique<bridge::NativeCall>(
            services_, std::vector<bridge::ModuleDescriptor>{modules::midi::descriptor()});
        native_->call("$$midi_inconnect", R"({"MIDIEndpointUIDKey":4711})", std::nullopt);
        native_->setEvent(true);
    }
    ~Bench() {
        native_.reset();
        midi::setServiceFactory(nullptr);
    }

    /// Sends `count` messages at `rate` a second (0: as fast as possible); `size` 3 for notes,
    /// more for SysEx. Returns the seconds the sending took.
    double send(size_t count, double rate, size_t size) {
        std::vector<uint8_t> message(size, 0x55);
        if (size == 3) {
            message[0] = 0x90;
        } else {
            message.front() = 0xF0;
            message.back() = 0xF7;
        }
        const auto start = Clock::now();
        for (size_t i = 0; i < count; ++i) {
            if (rate > 0)
                std::this_thread::sleep_until(
                    start + std::chrono::nanoseconds(static_cast<int64_t>(1e9 * double(i) / rate)));
            const size_t id = i % kIds;
            message[1] = static_cast<uint8_t>(id >> 7);
            message[2] = static_cast<uint8_t>(id & 0x7F);
            const uint64_t now = midi::current_host_time();
            sentAt_[id].store(now, std::memory_order_release);
            system_->emit(source_, message.data(), message.size(), now);
        }
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

    /// Waits until `count` messages arrived since the last reset, or a second passed without
    /// progress; returns how many arrived.
    size_t waitFor(size_t count) {
        size_t last = 0;
        auto idleSince = Clock::now();
        for (;;) {
            const size_t now = delivered_.load(std::memory_order_acquire);
            if (now >= count) return now;
            if (now != last) {
                last = now;
                idleSince = Clock::now();
            } else if (Clock::now() - idleSince > std::chrono::seconds(1)) {
                return now;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    void reset(bool record) {
        delivered_.store(0);
        recording_.store(record);
        latencies_.clear();
    }
    std::vector<uint64_t>& latencies() { return latencies_; }

  private:
    ThreadMainThread mainThread_;
    bridge::NotificationCenter center_;
    test::NullStore store_;
    test::NullApplication application_;
    bridge::Services services_{mainThread_, center_, store_, application_};
    std::shared_ptr<midi::VirtualMIDISystem> system_ = midi::VirtualMIDISystem::create(false);
    midi::MIDIEndpointRef source_ = 0;
    std::array<std::atomic<uint64_t>, kIds> sentAt_{};
    std::atomic<size_t> delivered_{0};
    std::atomic<bool> recording_{false};
    std::vector<uint64_t> latencies_;  // written on the main thread, read after waitFor
    bridge::NotificationCenter::Token token_;
    std::unique_ptr<bridge::NativeCall> native_;
};

double millis(uint64_t nanos) {
    return double(nanos) / 1e6;
}

// The highest rate of a doubling series at which every message of a one-second run arrives.
void rateSeries(Bench& bench, const char* what, size_t size, std::vector<double> rates) {
    double best = 0;
    for (double rate : rates) {
        const size_t count = static_cast<size_t>(rate);  // one second's worth
        bench.reset(false);
        const double took = bench.send(count, rate, size);
        const size_t got = bench.waitFor(count);
        const double achieved = double(count) / took;
        std::printf("  %-14s target %9.0f/s  sent at %9.0f/s  delivered %zu of %zu%s\n", what, rate,
                    achieved, got, count, got == count ? "" : "  (LOSS)");
        if (got != count) break;
        best = std::max(best, std::min(rate, achieved));
    }
    bench.reset(false);
    const size_t burst = size == 3 ? 50000 : 5000;
    const double took = bench.send(burst, 0, size);
    const size_t got = bench.waitFor(burst);
    std::printf("  %-14s burst of %zu as fast as possible: %.0f/s, delivered %zu%s\n", what, burst,
                double(burst) / took, got, got == burst ? "" : "  (LOSS)");
    std::printf("  %-14s highest paced rate without loss: %.0f/s\n", what, best);
}

}  // namespace

int main() {
    Bench bench;
    std::printf(
        "MIDI input path: virtual receive thread -> parser -> midi adapter -> event queue -> "
        "main-thread delivery\n");

    bench.reset(true);
    const size_t count = 3000;
    bench.send(count, 1000, 3);
    const size_t got = bench.waitFor(count);
    auto& l = bench.latencies();
    std::sort(l.begin(), l.end());
    if (!l.empty()) {
        std::printf(
            "latency at 1000 msg/s, %zu of %zu delivered: median %.3f ms, p99 %.3f ms, max %.3f "
            "ms\n",
            got, count, millis(l[l.size() / 2]),
            millis(l[std::min(l.size() - 1, l.size() * 99 / 100)]), millis(l.back()));
    }
    std::printf("throughput (one-second runs):\n");
    rateSeries(bench, "3-byte", 3, {1000, 10000, 20000, 50000, 100000, 200000, 400000});
    rateSeries(bench, "512-byte SysEx", 512, {100, 1000, 2000, 5000, 10000, 20000});
    return 0;
}
