#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "audio/AudioPlatform.h"
#include "audio/AudioStreams.h"
#include "audio/LevelMeter.h"

namespace lumetta::audio {

/// What the local output and input share: the life cycle of the platform queue they play or
/// record through (made on `start` when there is none, dropped on `stop` or when it fails for
/// good) and the state the bridge reads back. Each queue made gets a new generation, so that a
/// late callback of a dropped queue is told from one of the current queue. `Stream` is
/// AudioOutputStream or AudioInputStream, `Queue` the matching OutputQueue or InputQueue. Bridge
/// calls may come from any one thread at a time; the queue's callbacks come on its own thread.
template <class Stream, class Queue>
class LocalStream : public Stream {
  public:
    LocalStream(const LocalStream&) = delete;
    LocalStream& operator=(const LocalStream&) = delete;

    void ASBD(AudioStreamDescription& description) const override;
    /// Makes a queue when there is none (on this thread), then starts it.
    void start(const std::string& uid) override;
    void pause() override;
    float volume() const override { return gain_.load(); }
    unsigned numberOfChannels() const override { return 2; }
    float peakPowerForChannel(unsigned channel) const override;
    double currentTime() const override;
    int status() const override;

    /// Called on the queue's thread after the queue failed for good (server or device gone)
    /// and the stream stopped itself. Set before the first `start`.
    void setFailureHandler(std::function<void()> handler) { failureHandler_ = std::move(handler); }

  protected:
    /// `name` ("AudioOutput") and `direction` ("output") name the stream in the log; both are
    /// literals. `factory` makes the queues; owned.
    LocalStream(std::unique_ptr<AudioQueueFactory> factory, const char* name,
                const char* direction);
    ~LocalStream() override = default;

    /// A new queue for `uid` whose callbacks carry `generation`, or null when the platform
    /// refused. Called by `start` without the lock.
    virtual std::shared_ptr<Queue> makeQueue(const std::string& uid, uint64_t generation) = 0;
    /// Readies a queue just made and adopted before it starts; false when the stream was
    /// stopped meanwhile, and then it does not start.
    virtual bool prime(Queue&, uint64_t /*generation*/) { return true; }

    /// The current queue, if any.
    std::shared_ptr<Queue> queue() const;
    /// The current queue when it is still the one of `generation`, else null.
    std::shared_ptr<Queue> queueOf(uint64_t generation) const;
    /// Drops and stops the current queue and resets the state read back. Any thread, also the
    /// queue's own.
    void stopQueue();
    /// The queue of `generation` failed for good: drops and stops it, resets the state and
    /// calls the failure handler. Queue thread; catches and logs.
    void queueFailed(uint64_t generation);

    std::unique_ptr<AudioQueueFactory> factory_;
    std::atomic<bool> started_{false};
    std::atomic<bool> playing_{false};
    std::atomic<uint64_t> currentFrame_{0};
    std::atomic<float> gain_{1.0f};
    LevelMeter meter_;

  private:
    void resetState();

    const char* name_;
    const char* direction_;
    std::function<void()> failureHandler_;
    // Guards only the queue pointer and its generation; never held while a queue is called,
    // so its callbacks may take it.
    mutable std::mutex lock_;
    uint64_t generation_ = 0;
    std::shared_ptr<Queue> queue_;
};

extern template class LocalStream<AudioOutputStream, OutputQueue>;
extern template class LocalStream<AudioInputStream, InputQueue>;

}  // namespace lumetta::audio
