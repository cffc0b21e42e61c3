#include "audio/AudioDevice.h"

namespace lumetta::audio {

nlohmann::json audioDeviceDictionary(const AudioDeviceInfo& device) {
    return {{"AudioDeviceNameKey", device.name},
            {"AudioDeviceUIDKey", device.uid},
            {"AudioDeviceChannelsKey", device.channels},
            {"AudioDeviceSampleRateKey", static_cast<int64_t>(device.sampleRate)},
            {"AudioDeviceBitDepthKey", device.bitDepth},
            {"AudioDeviceCurrentKey", device.isDefault}};
}

AudioDevice::AudioDevice(std::unique_ptr<AudioSystem> system) : system_(std::move(system)) {
    system_->setDevicesChangedHandler([this] { audioObjectAddedRemoved(); });
}

AudioDevice::~AudioDevice() {
    system_.reset();
}

void AudioDevice::audioObjectAddedRemoved() {
    if (auto* delegate = delegate_.load()) delegate->audioObjectAddedRemoved();
}

nlohmann::json AudioDevice::enumulateDeviceWithScope(AudioDirection direction) {
    auto list = nlohmann::json::array();
    for (auto& device : system_->devices(direction))
        if (device.channels > 0) list.push_back(audioDeviceDictionary(device));
    return list;
}

}  // namespace lumetta::audio
