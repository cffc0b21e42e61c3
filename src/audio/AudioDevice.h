#pragma once

#include <atomic>
#include <memory>
#include <nlohmann/json.hpp>

#include "audio/AudioPlatform.h"

namespace lumetta::audio {

/// Hears that the system's set of audio devices changed.
class AudioDeviceDelegate {
  public:
    virtual ~AudioDeviceDelegate() = default;
    /// A device was added or removed; on the platform's notification thread.
    virtual void audioObjectAddedRemoved() {}
};

/// The dictionary of one device: the six "AudioDevice...Key" keys.
nlohmann::json audioDeviceDictionary(const AudioDeviceInfo& device);

/// Lists the system's audio devices per direction and reports every change of the device set.
class AudioDevice {
  public:
    /// Listens to `system`'s change notices from now on; owns it.
    explicit AudioDevice(std::unique_ptr<AudioSystem> system);
    ~AudioDevice();
    AudioDevice(const AudioDevice&) = delete;
    AudioDevice& operator=(const AudioDevice&) = delete;

    /// Not owned; any thread.
    void setDelegate(AudioDeviceDelegate* delegate) { delegate_.store(delegate); }
    /// Forwards one change notice to the delegate; on the notification thread.
    void audioObjectAddedRemoved();
    /// The dictionaries of every device with channels in `direction`, in the system's order;
    /// an empty list when the system cannot be asked. Thread of the bridge call.
    nlohmann::json enumulateDeviceWithScope(AudioDirection direction);

  private:
    std::atomic<AudioDeviceDelegate*> delegate_{nullptr};
    std::unique_ptr<AudioSystem> system_;  // last: its notices stop before the rest goes
};

}  // namespace lumetta::audio
