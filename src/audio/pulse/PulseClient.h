#pragma once

// One connection to the PulseAudio server on its own threaded main loop. Every callback of
// the connection and of its streams runs on that loop's thread with the loop locked.

#include <pulse/pulseaudio.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace lumetta::audio::pulse {

struct ThreadedMainloopFree {
    void operator()(pa_threaded_mainloop* m) const { pa_threaded_mainloop_free(m); }
};
struct ContextUnref {
    void operator()(pa_context* c) const {
        pa_context_set_state_callback(c, nullptr, nullptr);
        pa_context_set_subscribe_callback(c, nullptr, nullptr);
        pa_context_disconnect(c);
        pa_context_unref(c);
    }
};
struct StreamUnref {
    void operator()(pa_stream* s) const { pa_stream_unref(s); }
};
struct OperationUnref {
    void operator()(pa_operation* o) const {
        if (o) pa_operation_unref(o);
    }
};
using StreamPtr = std::unique_ptr<pa_stream, StreamUnref>;
using OperationPtr = std::unique_ptr<pa_operation, OperationUnref>;

/// Holds the loop's lock for a scope, unless the scope runs on the loop's own thread, which
/// already holds it.
class PulseLock {
  public:
    explicit PulseLock(pa_threaded_mainloop* loop)
        : loop_(loop), held_(!pa_threaded_mainloop_in_thread(loop)) {
        if (held_) pa_threaded_mainloop_lock(loop_);
    }
    ~PulseLock() {
        if (held_) pa_threaded_mainloop_unlock(loop_);
    }
    PulseLock(const PulseLock&) = delete;
    PulseLock& operator=(const PulseLock&) = delete;

  private:
    pa_threaded_mainloop* loop_;
    bool held_;
};

class PulseClient {
  public:
    /// How long a connect or a query may take before it counts as failed.
    static constexpr std::chrono::milliseconds kTimeout{5000};

    /// Starts the loop thread; connects on first use. Throws when the loop cannot start.
    explicit PulseClient(std::string name);
    /// Disconnects and stops the loop thread. Not on the loop thread.
    ~PulseClient();
    PulseClient(const PulseClient&) = delete;
    PulseClient& operator=(const PulseClient&) = delete;

    pa_threaded_mainloop* loop() const { return loop_.get(); }

    /// The connected context, connecting (again) when there is none or it failed; null when
    /// the server cannot be reached. Lock held, not on the loop thread.
    pa_context* context();

    /// Waits on the loop until `done` holds or the time-out passes; true when it holds. Lock
    /// held, not on the loop thread.
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = kTimeout);

    /// Runs an operation to its end (its callbacks must `signal`); false when it failed or the
    /// server went away. Lock held, not on the loop thread.
    bool complete(pa_operation* operation);

    /// Wakes `waitUntil`. Loop thread.
    void signal() { pa_threaded_mainloop_signal(loop_.get(), 0); }

    /// Subscribes every connection to `mask`; `handler` runs on the loop thread for each
    /// event. Set before the first `context`.
    void setSubscription(pa_subscription_mask_t mask,
                         std::function<void(pa_subscription_event_type_t)> handler);

  private:
    static void onState(pa_context* context, void* self);
    static void onEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index,
                        void* self);

    std::string name_;
    pa_subscription_mask_t mask_ = PA_SUBSCRIPTION_MASK_NULL;
    std::function<void(pa_subscription_event_type_t)> handler_;
    std::unique_ptr<pa_context, ContextUnref> context_;
    std::unique_ptr<pa_threaded_mainloop, ThreadedMainloopFree> loop_;  // last: owns the thread
};

/// The sample spec of an interleaved 16-bit PCM description.
pa_sample_spec sampleSpecOf(double sampleRate, unsigned channels);

}  // namespace lumetta::audio::pulse
