#include "audio/LocalStream.h"

#include <syslog.h>

#include <exception>

#include "audio/AudioVolume.h"

namespace lumetta::audio {

template <class Stream, class Queue>
LocalStream<Stream, Queue>::LocalStream(std::unique_ptr<AudioQueueFactory> factory,
                                        const char* name, const char* direction)
    : factory_(std::move(factory)), name_(name), direction_(direction) {}

template <class Stream, class Queue>
void LocalStream<Stream, Queue>::ASBD(AudioStreamDescription& description) const {
    description = clientStreamDescription();
}

template <class Stream, class Queue>
std::shared_ptr<Queue> LocalStream<Stream, Queue>::queue() const {
    std::lock_guard guard(lock_);
    return queue_;
}

template <class Stream, class Queue>
std::shared_ptr<Queue> LocalStream<Stream, Queue>::queueOf(uint64_t generation) const {
    std::lock_guard guard(lock_);
    return generation == generation_ ? queue_ : nullptr;
}

template <class Stream, class Queue>
void LocalStream<Stream, Queue>::start(const std::string& uid) {
    std::shared_ptr<Queue> current = queue();
    if (!current) {
        uint64_t generation;
        {
            std::lock_guard guard(lock_);
            generation = ++generation_;
        }
        std::shared_ptr<Queue> made = makeQueue(uid, generation);
        if (!made) {
            syslog(LOG_WARNING, "%s: no %s queue for device '%s'", name_, direction_, uid.c_str());
            return;
        }
        {
            std::lock_guard guard(lock_);
            if (generation != generation_) return;  // a stop came in between
            queue_ = made;
        }
        currentFrame_.store(0);
        started_.store(true);
        if (!prime(*made, generation)) return;
        current = made;
    }
    if (current->start()) playing_.store(true);
}

template <class Stream, class Queue>
void LocalStream<Stream, Queue>::pause() {
    if (std::shared_ptr<Queue> current = queue()) current->pause();
    playing_.store(false);
}

template <class Stream, class Queue>
void LocalStream<Stream, Queue>::stopQueue() {
    std::shared_ptr<Queue> current;
    {
        std::lock_guard guard(lock_);
        current = std::move(queue_);
        queue_.reset();
        ++generation_;
    }
    if (current) current->stop();
    resetState();
}

template <class Stream, class Queue>
void LocalStream<Stream, Queue>::queueFailed(uint64_t generation) {
    try {
        std::shared_ptr<Queue> failed;
        {
            std::lock_guard guard(lock_);
            if (generation != generation_ || !queue_) return;
            failed = std::move(queue_);
            queue_.reset();
            ++generation_;
        }
        failed->stop();
        resetState();
        syslog(LOG_WARNING, "%s: the %s queue failed", name_, direction_);
        if (failureHandler_) failureHandler_();
    } catch (const std::exception& e) {
        syslog(LOG_ERR, "%s: failure handling failed: %s", name_, e.what());
    }
}

template <class Stream, class Queue>
void LocalStream<Stream, Queue>::resetState() {
    started_.store(false);
    playing_.store(false);
    currentFrame_.store(0);
    meter_.reset();
}

template <class Stream, class Queue>
float LocalStream<Stream, Queue>::peakPowerForChannel(unsigned channel) const {
    if (channel > 1) return kLevelFloor;
    if (!started_.load()) return kLevelFloor;
    return levelDecibels(AudioVolume::convert(gain_.load()), meter_.average(channel));
}

template <class Stream, class Queue>
double LocalStream<Stream, Queue>::currentTime() const {
    return static_cast<double>(currentFrame_.load()) / clientStreamDescription().sampleRate;
}

template <class Stream, class Queue>
int LocalStream<Stream, Queue>::status() const {
    if (playing_.load()) return 1;
    if (started_.load()) return 2;
    return 0;
}

template class LocalStream<AudioOutputStream, OutputQueue>;
template class LocalStream<AudioInputStream, InputQueue>;

}  // namespace lumetta::audio
