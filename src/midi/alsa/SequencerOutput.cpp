#include "midi/alsa/SequencerOutput.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <utility>

namespace lumetta::midi {

namespace {

int addressKey(int client, int port) {
    return (client << 8) | port;
}

constexpr PacingClock::Duration kNanosPerByte =
    std::chrono::nanoseconds(1'000'000'000 / SequencerOutput::kWireBytesPerSecond);
constexpr PacingClock::Duration kFirstRetry = std::chrono::milliseconds(1);
constexpr PacingClock::Duration kLongestRetry = std::chrono::milliseconds(32);

}  // namespace

SequencerOutput::SequencerOutput(Sequencer& sequencer, int fromPort,
                                 std::shared_ptr<PacingClock> clock, ErrorHandler onError)
    : sequencer_(sequencer),
      fromPort_(fromPort),
      clock_(std::move(clock)),
      onError_(std::move(onError)),
      thread_([this] { run(); }) {}

SequencerOutput::~SequencerOutput() {
    stop();
}

void SequencerOutput::stop() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

int SequencerOutput::enqueue(const Destination& destination, const uint8_t* bytes, size_t size) {
    if (size == 0) return 0;
    {
        std::lock_guard guard(lock_);
        if (stopping_) return -ESHUTDOWN;
        Queue& queue = queues_[addressKey(destination.client, destination.port)];
        queue.destination = destination;
        if (!queue.encoder) {
            queue.epoch = ++epochs_;
            snd_midi_event_t* coder = nullptr;
            if (snd_midi_event_new(kSysExPiece, &coder) < 0) return -ENOMEM;
            queue.encoder.reset(coder);
        }
        if (queue.bytes.size() + size > kMaxQueuedBytes) return -ENOBUFS;
        queue.bytes.insert(queue.bytes.end(), bytes, bytes + size);
    }
    wake_.notify_all();
    return 0;
}

void SequencerOutput::forget(int client, int port) {
    std::lock_guard guard(lock_);
    queues_.erase(addressKey(client, port));
}

size_t SequencerOutput::pending(int client, int port) {
    std::lock_guard guard(lock_);
    auto it = queues_.find(addressKey(client, port));
    if (it == queues_.end()) return 0;
    return it->second.bytes.size() + (it->second.holding ? it->second.eventCost : 0);
}

void SequencerOutput::clear(Queue& queue) {
    queue.epoch = ++epochs_;
    queue.bytes.clear();
    queue.holding = false;
    queue.consumed = 0;
    queue.retryStarted = Duration(-1);
    if (queue.encoder) snd_midi_event_reset_encode(queue.encoder.get());
}

bool SequencerOutput::encodeNext(Queue& queue) {
    while (!queue.bytes.empty()) {
        const uint8_t byte = queue.bytes.front();
        queue.bytes.pop_front();
        snd_seq_event_t event;
        std::memset(&event, 0, sizeof event);
        const bool realTime = byte >= 0xF8;
        if (!realTime) ++queue.consumed;
        if (snd_midi_event_encode_byte(queue.encoder.get(), byte, &event) != 1) continue;
        if (event.type == SND_SEQ_EVENT_NONE) continue;
        queue.event = event;
        queue.eventCost = realTime ? 1 : std::exchange(queue.consumed, 0);
        if (snd_seq_ev_is_variable(&event)) {
            // The coder's buffer is reused by the next byte; the event keeps its own copy.
            const auto* data = static_cast<const uint8_t*>(event.data.ext.ptr);
            queue.eventData.assign(data, data + event.data.ext.len);
            queue.event.data.ext.ptr = queue.eventData.data();
        }
        queue.event.source.port = static_cast<unsigned char>(fromPort_);
        queue.event.dest.client = static_cast<unsigned char>(queue.destination.client);
        queue.event.dest.port = static_cast<unsigned char>(queue.destination.port);
        queue.event.queue = SND_SEQ_QUEUE_DIRECT;
        queue.holding = true;
        return true;
    }
    return false;
}

SequencerOutput::Duration SequencerOutput::readyAt(const Queue& queue) const {
    Duration at = queue.retryAt;
    if (queue.destination.paced) {
        // Room for this event once the port's buffer holds no more than the window minus it.
        const auto cost = static_cast<int64_t>(queue.eventCost);
        at = std::max(at, queue.busyUntil - (kHardwareWindow - cost) * kNanosPerByte);
    }
    return at;
}

int SequencerOutput::settle(Queue& queue, int result, Duration now) {
    if (result >= 0) {
        if (queue.destination.paced)
            queue.busyUntil = std::max(queue.busyUntil, now) +
                              static_cast<int64_t>(queue.eventCost) * kNanosPerByte;
        queue.holding = false;
        queue.retryStarted = Duration(-1);
        queue.retryAt = Duration(0);
        return 0;
    }
    if (result == -EAGAIN || result == -ENOMEM) {
        // The destination's pool, or a hardware port's buffer, is full for now.
        if (queue.retryStarted < Duration(0)) {
            queue.retryStarted = now;
            queue.retryDelay = kFirstRetry;
        }
        if (now - queue.retryStarted < kRetryBudget) {
            queue.retryAt = now + queue.retryDelay;
            queue.retryDelay = std::min(queue.retryDelay * 2, kLongestRetry);
            return 0;
        }
        // It takes nothing any more: what waits for it is dropped, and said so.
        clear(queue);
        queue.retryAt = Duration(0);
        return -result;
    }
    queue.holding = false;
    return -result;
}

void SequencerOutput::run() {
    // An event on its way out, written without the lock so that callers never wait for the
    // sequencer.
    struct Outgoing {
        int key = 0;
        uint64_t epoch = 0;
        snd_seq_event_t event{};
        std::vector<uint8_t> data;
        int result = 0;
    };
    std::vector<Outgoing> outgoing;
    std::unique_lock lock(lock_);
    while (!stopping_) {
        const Duration now = clock_->now();
        std::optional<Duration> next;
        outgoing.clear();
        // One event per destination per round, so that a long SysEx to one port does not hold
        // up the others.
        for (auto& [key, queue] : queues_) {
            if (!queue.holding && !encodeNext(queue)) continue;
            const Duration at = readyAt(queue);
            if (at > now) {
                next = next ? std::min(*next, at) : at;
                continue;
            }
            outgoing.push_back(Outgoing{key, queue.epoch, queue.event, queue.eventData, 0});
        }
        if (outgoing.empty()) {
            if (next)
                clock_->waitUntil(lock, wake_, *next);
            else
                wake_.wait(lock);
            continue;
        }
        lock.unlock();
        for (Outgoing& out : outgoing) {
            if (snd_seq_ev_is_variable(&out.event)) out.event.data.ext.ptr = out.data.data();
            out.result = sequencer_.eventOutputDirect(&out.event);
        }
        lock.lock();
        std::vector<int> failures;
        for (const Outgoing& out : outgoing) {
            auto it = queues_.find(out.key);
            // Forgotten or cleared while it was written: its state starts afresh.
            if (it == queues_.end() || it->second.epoch != out.epoch) continue;
            if (const int failure = settle(it->second, out.result, now))
                failures.push_back(failure);
        }
        if (failures.empty()) continue;
        lock.unlock();
        for (int code : failures) {
            try {
                onError_(code);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "lumetta: MIDI output error handler: %s\n", e.what());
            }
        }
        lock.lock();
    }
}

}  // namespace lumetta::midi
