#include "audio/pulse/PulseClient.h"

#include <stdexcept>

namespace lumetta::audio::pulse {

PulseClient::PulseClient(std::string name) : name_(std::move(name)) {
    loop_.reset(pa_threaded_mainloop_new());
    if (!loop_ || pa_threaded_mainloop_start(loop_.get()) < 0)
        throw std::runtime_error("cannot start the PulseAudio main loop");
}

PulseClient::~PulseClient() {
    {
        PulseLock lock(loop_.get());
        context_.reset();
    }
    pa_threaded_mainloop_stop(loop_.get());
}

void PulseClient::setSubscription(pa_subscription_mask_t mask,
                                  std::function<void(pa_subscription_event_type_t)> handler) {
    mask_ = mask;
    handler_ = std::move(handler);
}

void PulseClient::onState(pa_context*, void* self) {
    static_cast<PulseClient*>(self)->signal();
}

void PulseClient::onEvent(pa_context*, pa_subscription_event_type_t type, uint32_t, void* self) {
    auto* client = static_cast<PulseClient*>(self);
    if (client->handler_) client->handler_(type);
}

pa_context* PulseClient::context() {
    if (context_ && pa_context_get_state(context_.get()) == PA_CONTEXT_READY) return context_.get();
    context_.reset();
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_.get());
    context_.reset(pa_context_new(api, name_.c_str()));
    if (!context_) return nullptr;
    pa_context_set_state_callback(context_.get(), &PulseClient::onState, this);
    pa_context_set_subscribe_callback(context_.get(), &PulseClient::onEvent, this);
    // Never start a server of our own: with none running there is simply no audio.
    if (pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        context_.reset();
        return nullptr;
    }
    pa_context* c = context_.get();
    bool ready = waitUntil([c] {
        auto state = pa_context_get_state(c);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    });
    if (!ready || pa_context_get_state(c) != PA_CONTEXT_READY) {
        context_.reset();
        return nullptr;
    }
    if (mask_ != PA_SUBSCRIPTION_MASK_NULL) {
        OperationPtr op(pa_context_subscribe(c, mask_, nullptr, nullptr));
    }
    return c;
}

bool PulseClient::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    if (done()) return true;
    struct Timer {
        bool fired = false;
        pa_threaded_mainloop* loop;
    } timer{false, loop_.get()};
    timeval when;
    pa_gettimeofday(&when);
    pa_timeval_add(&when, static_cast<pa_usec_t>(timeout.count()) * PA_USEC_PER_MSEC);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_.get());
    pa_time_event* event = api->time_new(
        api, &when,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void* data) {
            auto* t = static_cast<Timer*>(data);
            t->fired = true;
            pa_threaded_mainloop_signal(t->loop, 0);
        },
        &timer);
    while (!done() && !timer.fired) pa_threaded_mainloop_wait(loop_.get());
    api->time_free(event);
    return done();
}

bool PulseClient::complete(pa_operation* operation) {
    if (!operation) return false;
    OperationPtr op(operation);
    pa_operation_set_state_callback(
        op.get(), [](pa_operation*, void* self) { static_cast<PulseClient*>(self)->signal(); },
        this);
    pa_context* c = context_.get();
    bool finished = waitUntil([&] {
        return pa_operation_get_state(op.get()) != PA_OPERATION_RUNNING || !c ||
               !PA_CONTEXT_IS_GOOD(pa_context_get_state(c));
    });
    if (!finished) pa_operation_cancel(op.get());
    return finished && pa_operation_get_state(op.get()) == PA_OPERATION_DONE;
}

pa_sample_spec sampleSpecOf(double sampleRate, unsigned channels) {
    pa_sample_spec spec;
    spec.format = PA_SAMPLE_S16LE;
    spec.rate = static_cast<uint32_t>(sampleRate);
    spec.channels = static_cast<uint8_t>(channels);
    return spec;
}

}  // namespace lumetta::audio::pulse
