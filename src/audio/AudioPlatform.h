#pragma once

// The platform's audio service as the local streams and the device list use it: device
// enumeration with a change notice, and output and input queues of interleaved PCM. The
// PulseAudio implementation lives in pulse/; tests use doubles.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/AudioStreams.h"

namespace lumetta::audio {

/// One device as the platform reports it for one direction.
struct AudioDeviceInfo {
    std::string name;       ///< what the user sees
    std::string uid;        ///< stable name that selects the device for a queue
    unsigned channels = 0;  ///< channels of its format in that direction
    double sampleRate = 0;
    unsigned bitDepth = 0;
    bool isDefault = false;  ///< the system's default device for that direction
};

enum class AudioDirection { input, output };

/// The system's device list and its change notices.
class AudioSystem {
  public:
    virtual ~AudioSystem() = default;
    /// The devices of one direction in the system's order; empty when the system cannot be
    /// asked. Blocks the calling thread briefly; any thread but the notice thread.
    virtual std::vector<AudioDeviceInfo> devices(AudioDirection direction) = 0;
    /// Called once for every notice that a device was added or removed, on the platform's
    /// notification thread. Set once, before the first notice can come.
    virtual void setDevicesChangedHandler(std::function<void()> handler) = 0;
};

/// A platform output queue: it plays buffers of PCM in the order they were queued, through the
/// time-pitch stage (rate) and the volume stage.
class OutputQueue {
  public:
    virtual ~OutputQueue() = default;
    /// Queues `bytes` of PCM (whole frames). Any thread, also inside `bufferDone`.
    virtual void enqueue(const uint8_t* data, size_t bytes) = 0;
    /// Starts or resumes playing; false when the platform refused.
    virtual bool start() = 0;
    /// Holds playing, keeping what is queued.
    virtual void pause() = 0;
    /// Stops at once and forgets what is queued; no callback runs after it returns (except
    /// the one it is called from). Any thread, also the queue's own.
    virtual void stop() = 0;
    /// Linear gain applied to what is played.
    virtual void setVolume(float gain) = 0;
    /// Play rate with the pitch kept; 1.0 plays unchanged.
    virtual void setRate(float rate) = 0;
};

/// A platform input queue: it delivers captured PCM in buffers of a fixed size.
class InputQueue {
  public:
    virtual ~InputQueue() = default;
    virtual bool start() = 0;
    virtual void pause() = 0;
    /// Stops at once. Called from outside the queue's thread, it first delivers what was
    /// captured but not yet delivered, so nothing captured is lost. Any thread.
    virtual void stop() = 0;
};

/// What a queue tells its owner, on the queue's own thread.
struct OutputQueueCallbacks {
    /// One queued buffer has been consumed; the owner may queue another.
    std::function<void()> bufferDone;
    /// The queue failed for good (the server or the device went away).
    std::function<void()> failed;
};

struct InputQueueCallbacks {
    /// A buffer of captured PCM (whole frames); the data may be changed in place.
    std::function<void(uint8_t* data, size_t bytes)> delivered;
    /// The queue failed for good (the server or the device went away).
    std::function<void()> failed;
};

/// Makes queues on one connection to the platform's audio service.
class AudioQueueFactory {
  public:
    virtual ~AudioQueueFactory() = default;
    /// A stopped (paused) output queue for `format` on the device `uid` (empty: the default
    /// device), or null when the service or the device refused.
    virtual std::unique_ptr<OutputQueue> makeOutputQueue(const AudioStreamDescription& format,
                                                         const std::string& uid, size_t bufferBytes,
                                                         OutputQueueCallbacks callbacks) = 0;
    /// A stopped input queue that delivers buffers of `bufferBytes`, or null.
    virtual std::unique_ptr<InputQueue> makeInputQueue(const AudioStreamDescription& format,
                                                       const std::string& uid, size_t bufferBytes,
                                                       InputQueueCallbacks callbacks) = 0;
};

}  // namespace lumetta::audio
