#pragma once

// The MIDI service's output: bytes for each destination wait in that destination's queue and
// one sender thread turns them into sequencer events and writes them, paced so that nothing is
// lost on the way.
//
// A hardware port (a kernel client's rawmidi port) has a 4 KiB output buffer that drains at
// the MIDI wire rate, and what does not fit is dropped, or refused, by the kernel; its events are
// therefore written no faster than the wire takes them, keeping at most half that buffer
// filled. A software port answers -EAGAIN or -ENOMEM while its owner's input pool is full; the
// event is retried for a while, then what is left for that destination is dropped and the
// failure reported. Callers never wait: queueing is all they do.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "midi/alsa/Sequencer.h"

namespace lumetta::midi {

class SequencerOutput {
  public:
    /// Where bytes go. `paced` for hardware ports, which drain at the wire rate.
    struct Destination {
        int client = 0;
        int port = 0;
        bool paced = false;
    };
    /// Called on the sender thread with the positive errno of a write that failed for good.
    using ErrorHandler = std::function<void(int code)>;

    /// MIDI 1.0 wire rate: 31,250 baud, 10 bits a byte.
    static constexpr int64_t kWireBytesPerSecond = 3125;
    /// The share of a hardware port's 4 KiB buffer that our bytes may fill.
    static constexpr int64_t kHardwareWindow = 2048;
    /// The largest piece of a SysEx written as one event; keeps each write well inside the
    /// window.
    static constexpr size_t kSysExPiece = 256;
    /// How long a destination that answers -EAGAIN/-ENOMEM is retried before its bytes are
    /// dropped.
    static constexpr PacingClock::Duration kRetryBudget = std::chrono::seconds(1);
    /// Most bytes waiting for one destination; a send beyond it is refused with -ENOBUFS.
    static constexpr size_t kMaxQueuedBytes = size_t{1} << 20;

    /// Writes through `sequencer` from our port `fromPort`; both outlive this object. Starts the
    /// sender thread.
    SequencerOutput(Sequencer& sequencer, int fromPort, std::shared_ptr<PacingClock> clock,
                    ErrorHandler onError);
    /// Stops and joins the sender thread; what is still queued is dropped.
    ~SequencerOutput();
    SequencerOutput(const SequencerOutput&) = delete;
    SequencerOutput& operator=(const SequencerOutput&) = delete;

    /// Queues bytes for a destination. 0, -ENOBUFS when its queue is full, -ESHUTDOWN after
    /// stop(), -ENOMEM when no coder can be made. Any thread; never waits for the writes.
    int enqueue(const Destination& destination, const uint8_t* bytes, size_t size);
    /// Drops what is queued for a destination and the state of its coder (a SysEx cut in the
    /// middle does not continue on the next port at that address). Any thread.
    void forget(int client, int port);
    /// Stops and joins the sender thread; no handler call runs after it returns. Idempotent.
    void stop();
    /// Bytes still queued or being written for a destination (tests, diagnostics).
    size_t pending(int client, int port);

  private:
    struct CoderFree {
        void operator()(snd_midi_event_t* coder) const { snd_midi_event_free(coder); }
    };
    using Coder = std::unique_ptr<snd_midi_event_t, CoderFree>;
    using Duration = PacingClock::Duration;

    struct Queue {
        Destination destination;
        uint64_t epoch = 0;  // changes when the queue starts afresh
        std::deque<uint8_t> bytes;
        Coder encoder;
        size_t consumed = 0;  // bytes taken into the coder since its last event
        // The event waiting to be written, with its own copy of any SysEx piece.
        bool holding = false;
        snd_seq_event_t event{};
        std::vector<uint8_t> eventData;
        size_t eventCost = 0;
        // Pacing: when the port's buffer empties of what we wrote, as far as we know.
        Duration busyUntil{0};
        // Retrying a refused write.
        Duration retryAt{0};
        Duration retryStarted{-1};
        Duration retryDelay{0};
    };

    void run();
    // Takes bytes into the coder until one event is ready; false when the queue ran dry.
    bool encodeNext(Queue& queue);
    Duration readyAt(const Queue& queue) const;
    // Takes in the result of writing the held event; the error to report, or 0.
    int settle(Queue& queue, int result, Duration now);
    void clear(Queue& queue);

    Sequencer& sequencer_;
    const int fromPort_;
    std::shared_ptr<PacingClock> clock_;
    ErrorHandler onError_;

    std::mutex lock_;
    std::condition_variable wake_;
    std::map<int, Queue> queues_;  // by destination address; guarded by lock_
    uint64_t epochs_ = 0;          // guarded by lock_
    bool stopping_ = false;        // guarded by lock_; with wake_ it stops the thread
    std::thread thread_;           // last: stops before what it uses goes
};

}  // namespace lumetta::midi
