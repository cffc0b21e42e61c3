#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <vector>

#include "audio/TimePitch.h"
#include "audio/pulse/PulseAudioSystem.h"
#include "audio/pulse/PulseClient.h"

namespace lumetta::audio::pulse {

namespace {

std::atomic<uint64_t> totalUnderruns{0};
std::atomic<uint64_t> totalOverruns{0};

void uncork(pa_stream* stream, bool corked) {
    OperationPtr op(pa_stream_cork(stream, corked ? 1 : 0, nullptr, nullptr));
}

// Connects a stream and waits until it plays or failed; false when it failed (for example, no
// device of that name). Lock held, not on the loop thread.
bool waitReady(PulseClient& client, pa_stream* stream) {
    bool settled = client.waitUntil([stream] {
        auto s = pa_stream_get_state(stream);
        return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
    });
    return settled && pa_stream_get_state(stream) == PA_STREAM_READY;
}

// ---- shared ------------------------------------------------------------------------------------

// What the playing and the recording side of a queue share: the stream, its way to ready, its
// end, and a failure of the stream told once to the owner. Lives in a shared owner (of
// `Derived`) so that a callback keeps it alive while its owner drops it from inside that
// callback. `Derived` gives `forgetCallbacks(pa_stream*)`, which clears the callbacks of its
// direction, and may give `streamFailing()`, which hands the owner what it still holds before
// the failure is told, and its own `disconnect()`, which ends with this one.
template <class Derived, class Callbacks>
class StreamCore : public std::enable_shared_from_this<Derived> {
  public:
    StreamCore(const StreamCore&) = delete;
    StreamCore& operator=(const StreamCore&) = delete;

  protected:
    StreamCore(PulseClient& client, Callbacks callbacks, const pa_sample_spec& spec)
        : client_(client), callbacks_(std::move(callbacks)), spec_(spec) {}

    ~StreamCore() {
        PulseLock lock(client_.loop());
        stream_.reset();
    }

    // Makes the stream, named as the server shows it, and follows its state; false when the
    // server refused. Lock held.
    bool open(pa_context* context, const char* name) {
        stream_.reset(pa_stream_new(context, name, &spec_, nullptr));
        if (!stream_) return false;
        pa_stream_set_state_callback(stream_.get(), &StreamCore::onState, this);
        return true;
    }

    // Takes the outcome of the connect call and waits for the stream to play; false, with the
    // stream let go, when it failed. Lock held, not on the loop thread.
    bool settle(int connected) {
        if (connected < 0 || !waitReady(client_, stream_.get())) {
            self().disconnect();
            return false;
        }
        ready_ = true;
        return true;
    }

    // Lets the stream go; none of its callbacks reaches us any more. Lock held.
    void disconnect() {
        stopped_ = true;
        if (!stream_) return;
        pa_stream_set_state_callback(stream_.get(), nullptr, nullptr);
        Derived::forgetCallbacks(stream_.get());
        pa_stream_disconnect(stream_.get());
    }

    void streamFailing() {}

    PulseClient& client_;
    Callbacks callbacks_;
    pa_sample_spec spec_;
    StreamPtr stream_;
    bool ready_ = false;
    bool stopped_ = false;

  private:
    Derived& self() { return static_cast<Derived&>(*this); }

    static void onState(pa_stream* stream, void* data) {
        auto keep = static_cast<StreamCore*>(data)->self().shared_from_this();
        StreamCore& core = *keep;
        core.client_.signal();
        auto state = pa_stream_get_state(stream);
        if (core.ready_ && !core.stopped_ && !PA_STREAM_IS_GOOD(state)) {
            keep->streamFailing();
            if (core.stopped_) return;
            keep->disconnect();
            if (core.callbacks_.failed) core.callbacks_.failed();
        }
    }
};

// ---- output ------------------------------------------------------------------------------------

// The playing side of one output queue.
class OutputCore final : public StreamCore<OutputCore, OutputQueueCallbacks> {
  public:
    OutputCore(PulseClient& client, OutputQueueCallbacks callbacks, const pa_sample_spec& spec)
        : StreamCore(client, std::move(callbacks), spec), timePitch_(spec.rate, spec.channels) {}

    bool connect(pa_context* context, const std::string& uid) {
        if (!open(context, "Lumetta playback")) return false;
        pa_stream_set_write_callback(stream_.get(), &OutputCore::onWrite, this);
        pa_stream_set_underflow_callback(stream_.get(), &OutputCore::onUnderflow, this);
        pa_buffer_attr attr;
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = 3 * 8192;
        // Start as soon as anything is there, so that a file shorter than the buffer plays.
        attr.prebuf = 0;
        // Ask for more a buffer at a time: fewer wake-ups for the same audio.
        attr.minreq = 8192;
        attr.fragsize = static_cast<uint32_t>(-1);
        auto flags =
            static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY);
        return settle(pa_stream_connect_playback(stream_.get(), uid.empty() ? nullptr : uid.c_str(),
                                                 &attr, flags, nullptr, nullptr));
    }

    void enqueue(const uint8_t* data, size_t bytes) {
        PulseLock lock(client_.loop());
        if (stopped_ || bytes == 0) return;
        buffers_.emplace_back(data, data + bytes);
        pump();
    }

    bool start() {
        PulseLock lock(client_.loop());
        if (stopped_ || !ready_) return false;
        running_ = true;
        uncork(stream_.get(), false);
        pump();
        return true;
    }

    void pause() {
        PulseLock lock(client_.loop());
        running_ = false;
        if (!stopped_ && ready_) uncork(stream_.get(), true);
    }

    void stop() {
        PulseLock lock(client_.loop());
        if (stopped_) return;
        // The owner stopping from inside our own callback means its source has ended (the end
        // of the file, a read error): what was already handed over still plays to its end.
        if (pa_threaded_mainloop_in_thread(client_.loop()) && ready_ && running_) {
            playOut();
            return;
        }
        disconnect();
    }

    void setVolume(float gain) {
        PulseLock lock(client_.loop());
        gain_ = gain;
    }

    void setRate(float rate) {
        PulseLock lock(client_.loop());
        if (rate == rate_) return;
        rate_ = rate;
        // Whatever the stretcher still holds belongs to the old rate.
        timePitch_.clear();
        if (rate > 0.0f) timePitch_.setRate(rate);
    }

  private:
    friend class StreamCore<OutputCore, OutputQueueCallbacks>;

    static void forgetCallbacks(pa_stream* stream) {
        pa_stream_set_write_callback(stream, nullptr, nullptr);
        pa_stream_set_underflow_callback(stream, nullptr, nullptr);
    }

    // Writes everything still queued, lets the server play it and disconnects then; the owner
    // hears nothing more. Loop thread.
    void playOut() {
        stopped_ = true;
        running_ = false;
        pa_stream_set_write_callback(stream_.get(), nullptr, nullptr);
        pa_stream_set_underflow_callback(stream_.get(), nullptr, nullptr);
        std::vector<int16_t> pcm;
        for (auto& b : buffers_) {
            auto* s =
                static_cast<const int16_t*>(static_cast<const void*>(b.data() + frontOffset_));
            pcm.insert(pcm.end(), s, s + (b.size() - frontOffset_) / 2);
            frontOffset_ = 0;
        }
        buffers_.clear();
        if (rate_ > 0.0f && rate_ != 1.0f) {
            timePitch_.put(pcm.data(), pcm.size() / 2);
            timePitch_.flush();
            pcm.assign(2 * timePitch_.available(), 0);
            pcm.resize(2 * timePitch_.receive(pcm.data(), pcm.size() / 2));
        } else if (rate_ <= 0.0f) {
            pcm.clear();
        }
        if (gain_ != 1.0f)
            for (auto& s : pcm) s = static_cast<int16_t>(static_cast<float>(s) * gain_);
        if (!pcm.empty())
            pa_stream_write(stream_.get(), pcm.data(), pcm.size() * 2, nullptr, 0,
                            PA_SEEK_RELATIVE);
        keepAlive_ = shared_from_this();
        OperationPtr op(pa_stream_drain(
            stream_.get(),
            [](pa_stream*, int, void* data) {
                auto* core = static_cast<OutputCore*>(data);
                auto keep = std::move(core->keepAlive_);
                core->disconnect();
            },
            this));
        if (!op) {
            auto keep = std::move(keepAlive_);
            disconnect();
        }
    }

    void disconnect() {
        running_ = false;
        buffers_.clear();
        frontOffset_ = 0;
        StreamCore::disconnect();
    }

    static void onWrite(pa_stream*, size_t, void* data) {
        auto keep = static_cast<OutputCore*>(data)->shared_from_this();
        keep->pump();
    }

    static void onUnderflow(pa_stream*, void*) { totalUnderruns.fetch_add(1); }

    // Writes as much as the server takes. Lock held.
    void pump() {
        if (!running_ || stopped_ || pumping_ || !stream_) return;
        pumping_ = true;
        size_t writable = pa_stream_writable_size(stream_.get());
        if (writable != static_cast<size_t>(-1)) {
            size_t frames = writable / 4;
            while (frames > 0 && !stopped_) {
                size_t chunk = std::min<size_t>(frames, 4096);
                out_.resize(chunk * 2);
                size_t got = produce(out_.data(), chunk);
                if (stopped_ || got == 0) break;
                if (gain_ != 1.0f)
                    for (size_t i = 0; i < got * 2; ++i)
                        out_[i] = static_cast<int16_t>(static_cast<float>(out_[i]) * gain_);
                pa_stream_write(stream_.get(), out_.data(), got * 4, nullptr, 0, PA_SEEK_RELATIVE);
                frames -= got;
            }
        }
        pumping_ = false;
    }

    // Fills up to `frames` frames from the queued buffers, through the stretcher when the
    // rate is not 1. Every buffer used up is handed back to the owner, who may queue
    // another or stop.
    size_t produce(int16_t* out, size_t frames) {
        if (rate_ <= 0.0f) {
            std::fill(out, out + frames * 2, int16_t{0});
            return frames;
        }
        size_t got = 0;
        if (rate_ == 1.0f) {
            while (got < frames && !buffers_.empty() && !stopped_) {
                auto& b = buffers_.front();
                size_t n = std::min((b.size() - frontOffset_) / 4, frames - got);
                std::memcpy(out + got * 2, b.data() + frontOffset_, n * 4);
                got += n;
                frontOffset_ += n * 4;
                if (frontOffset_ >= b.size()) bufferUsed();
            }
            return stopped_ ? 0 : got;
        }
        while (timePitch_.available() < frames && !buffers_.empty() && !stopped_) {
            auto& b = buffers_.front();
            timePitch_.put(
                static_cast<const int16_t*>(static_cast<const void*>(b.data() + frontOffset_)),
                (b.size() - frontOffset_) / 4);
            bufferUsed();
        }
        if (stopped_) return 0;
        return timePitch_.receive(out, frames);
    }

    void bufferUsed() {
        buffers_.pop_front();
        frontOffset_ = 0;
        if (callbacks_.bufferDone) callbacks_.bufferDone();
    }

    TimePitch timePitch_;
    std::deque<std::vector<uint8_t>> buffers_;
    size_t frontOffset_ = 0;
    std::vector<int16_t> out_;
    float gain_ = 1.0f;
    float rate_ = 1.0f;
    bool running_ = false;
    bool pumping_ = false;
    std::shared_ptr<OutputCore> keepAlive_;  // while the last audio plays out
};

class PulseOutputQueue final : public OutputQueue {
  public:
    explicit PulseOutputQueue(std::shared_ptr<OutputCore> core) : core_(std::move(core)) {}
    ~PulseOutputQueue() override { core_->stop(); }
    void enqueue(const uint8_t* data, size_t bytes) override { core_->enqueue(data, bytes); }
    bool start() override { return core_->start(); }
    void pause() override { core_->pause(); }
    void stop() override { core_->stop(); }
    void setVolume(float gain) override { core_->setVolume(gain); }
    void setRate(float rate) override { core_->setRate(rate); }

  private:
    std::shared_ptr<OutputCore> core_;
};

// ---- input -------------------------------------------------------------------------------------

// The recording side of one input queue.
class InputCore final : public StreamCore<InputCore, InputQueueCallbacks> {
  public:
    InputCore(PulseClient& client, InputQueueCallbacks callbacks, const pa_sample_spec& spec,
              size_t bufferBytes)
        : StreamCore(client, std::move(callbacks), spec),
          bufferBytes_(bufferBytes - bufferBytes % pa_frame_size(&spec)) {}

    bool connect(pa_context* context, const std::string& uid) {
        if (!open(context, "Lumetta recording")) return false;
        pa_stream_set_read_callback(stream_.get(), &InputCore::onRead, this);
        pa_stream_set_overflow_callback(stream_.get(), &InputCore::onOverflow, this);
        pa_buffer_attr attr;
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
        attr.fragsize = static_cast<uint32_t>(bufferBytes_);
        // Without a latency of our own the server may hand over captured audio in blocks of
        // seconds.
        auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY);
        return settle(pa_stream_connect_record(stream_.get(), uid.empty() ? nullptr : uid.c_str(),
                                               &attr, flags));
    }

    bool start() {
        PulseLock lock(client_.loop());
        if (stopped_ || !ready_) return false;
        uncork(stream_.get(), false);
        return true;
    }

    void pause() {
        PulseLock lock(client_.loop());
        if (!stopped_ && ready_) uncork(stream_.get(), true);
    }

    void stop() {
        bool outside = !pa_threaded_mainloop_in_thread(client_.loop());
        PulseLock lock(client_.loop());
        if (stopped_) return;
        // Stopping from outside: what the server captured and what waits here for a whole
        // buffer still goes to the owner.
        if (outside && ready_) {
            drain();
            if (!stopped_) deliverRest();
        }
        disconnect();
    }

  private:
    friend class StreamCore<InputCore, InputQueueCallbacks>;

    static void forgetCallbacks(pa_stream* stream) {
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_overflow_callback(stream, nullptr, nullptr);
    }

    // What waits here for a whole buffer still goes to the owner before the failure is told.
    void streamFailing() { deliverRest(); }

    static void onRead(pa_stream*, size_t, void* data) {
        auto keep = static_cast<InputCore*>(data)->shared_from_this();
        keep->drain();
    }

    static void onOverflow(pa_stream*, void*) { totalOverruns.fetch_add(1); }

    // Reads everything the server holds and hands on every whole buffer. Lock held.
    void drain() {
        while (!stopped_ && stream_) {
            size_t readable = pa_stream_readable_size(stream_.get());
            if (readable == 0 || readable == static_cast<size_t>(-1)) return;
            const void* data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(stream_.get(), &data, &bytes) < 0) return;
            if (bytes == 0) return;
            if (data) {
                auto* p = static_cast<const uint8_t*>(data);
                pending_.insert(pending_.end(), p, p + bytes);
            } else {
                pending_.insert(pending_.end(), bytes, uint8_t{0});  // a hole: keep the timing
            }
            pa_stream_drop(stream_.get());
            while (pending_.size() >= bufferBytes_ && !stopped_) {
                delivery_.assign(pending_.begin(),
                                 pending_.begin() + static_cast<ptrdiff_t>(bufferBytes_));
                pending_.erase(pending_.begin(),
                               pending_.begin() + static_cast<ptrdiff_t>(bufferBytes_));
                if (callbacks_.delivered) callbacks_.delivered(delivery_.data(), bufferBytes_);
            }
        }
    }

    void deliverRest() {
        size_t frame = pa_frame_size(&spec_);
        size_t bytes = pending_.size() - pending_.size() % frame;
        if (bytes == 0) return;
        delivery_.assign(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(bytes));
        pending_.clear();
        if (callbacks_.delivered) callbacks_.delivered(delivery_.data(), bytes);
    }

    size_t bufferBytes_;
    std::vector<uint8_t> pending_;
    std::vector<uint8_t> delivery_;
};

class PulseInputQueue final : public InputQueue {
  public:
    explicit PulseInputQueue(std::shared_ptr<InputCore> core) : core_(std::move(core)) {}
    ~PulseInputQueue() override { core_->stop(); }
    bool start() override { return core_->start(); }
    void pause() override { core_->pause(); }
    void stop() override { core_->stop(); }

  private:
    std::shared_ptr<InputCore> core_;
};

}  // namespace

PulseQueueFactory::PulseQueueFactory(std::string clientName)
    : client_(std::make_unique<PulseClient>(std::move(clientName))) {}

PulseQueueFactory::~PulseQueueFactory() = default;

std::unique_ptr<OutputQueue> PulseQueueFactory::makeOutputQueue(
    const AudioStreamDescription& format, const std::string& uid, size_t,
    OutputQueueCallbacks callbacks) {
    if (format.bitsPerChannel != 16 || format.channelsPerFrame != 2) return nullptr;
    std::shared_ptr<OutputCore> core;
    {
        PulseLock lock(client_->loop());
        pa_context* context = client_->context();
        if (!context) return nullptr;
        core = std::make_shared<OutputCore>(*client_, std::move(callbacks),
                                            sampleSpecOf(format.sampleRate, 2));
        if (!core->connect(context, uid)) {
            syslog(LOG_WARNING, "PulseAudio: cannot play on '%s'", uid.c_str());
            return nullptr;
        }
    }
    return std::make_unique<PulseOutputQueue>(std::move(core));
}

std::unique_ptr<InputQueue> PulseQueueFactory::makeInputQueue(const AudioStreamDescription& format,
                                                              const std::string& uid,
                                                              size_t bufferBytes,
                                                              InputQueueCallbacks callbacks) {
    if (format.bitsPerChannel != 16 || format.channelsPerFrame == 0) return nullptr;
    std::shared_ptr<InputCore> core;
    {
        PulseLock lock(client_->loop());
        pa_context* context = client_->context();
        if (!context) return nullptr;
        core = std::make_shared<InputCore>(*client_, std::move(callbacks),
                                           sampleSpecOf(format.sampleRate, format.channelsPerFrame),
                                           bufferBytes);
        if (!core->connect(context, uid)) {
            syslog(LOG_WARNING, "PulseAudio: cannot record from '%s'", uid.c_str());
            return nullptr;
        }
    }
    return std::make_unique<PulseInputQueue>(std::move(core));
}

uint64_t PulseQueueFactory::underruns() {
    return totalUnderruns.load();
}

uint64_t PulseQueueFactory::overruns() {
    return totalOverruns.load();
}

}  // namespace lumetta::audio::pulse
