#pragma once

#include <memory>

#include "audio/AudioPlatform.h"

namespace lumetta::audio::pulse {

class PulseClient;

/// The PulseAudio server's sinks (outputs) and sources (inputs, monitors included), and its
/// notices of sinks and sources added or removed. Has its own connection and loop thread.
class PulseAudioSystem final : public AudioSystem {
  public:
    PulseAudioSystem();
    ~PulseAudioSystem() override;
    std::vector<AudioDeviceInfo> devices(AudioDirection direction) override;
    /// Connects at once so that notices flow from now on.
    void setDevicesChangedHandler(std::function<void()> handler) override;

  private:
    std::function<void()> handler_;
    std::unique_ptr<PulseClient> client_;  // last: its thread calls the handler
};

/// Output and input queues on one PulseAudio connection of their own, time-pitch through
/// SoundTouch. Queue callbacks run on that connection's loop thread.
class PulseQueueFactory final : public AudioQueueFactory {
  public:
    explicit PulseQueueFactory(std::string clientName);
    ~PulseQueueFactory() override;
    std::unique_ptr<OutputQueue> makeOutputQueue(const AudioStreamDescription& format,
                                                 const std::string& uid, size_t bufferBytes,
                                                 OutputQueueCallbacks callbacks) override;
    std::unique_ptr<InputQueue> makeInputQueue(const AudioStreamDescription& format,
                                               const std::string& uid, size_t bufferBytes,
                                               InputQueueCallbacks callbacks) override;

    /// Underruns of every output queue of the process so far (for measurements).
    static uint64_t underruns();
    /// Overruns of every input queue of the process so far (for measurements).
    static uint64_t overruns();

  private:
    std::unique_ptr<PulseClient> client_;
};

}  // namespace lumetta::audio::pulse
