#pragma once

#include <functional>
#include <memory>

#include "audio/AudioConverter.h"
#include "audio/AudioDevice.h"
#include "audio/AudioFile.h"
#include "bridge/Module.h"
#include "bridge/NativeCall.h"

namespace lumetta::modules::audio {

/// Turns the device list's change notice into "audio" "changed".
class _AudioDeviceDelegate final : public ::lumetta::audio::AudioDeviceDelegate {
  public:
    /// The bridge that hears the event; not owned, set before any notice.
    bridge::NativeCall* native = nullptr;
    /// Platform notification thread.
    void audioObjectAddedRemoved() override;
};

/// What the audio module needs from the platform; it owns all of it.
struct AudioPlatform {
    std::unique_ptr<::lumetta::audio::AudioSystem> system;
    std::unique_ptr<::lumetta::audio::AudioFileService> files;
    /// A private temporary folder ending in "/", or nullopt.
    std::function<std::optional<std::string>()> temporaryFolder;
};

/// The `audio` module: the input and output lists and the change event; the file functions
/// (format, convert, split, reverse), which run to their end inside the call and post one
/// "converted" or "convertfailed" event before they return.
class AudioModule final : public bridge::Module {
  public:
    AudioModule(bridge::ModuleContext& ctx, AudioPlatform platform);
    ~AudioModule() override;

  private:
    AudioPlatform platform_;
    std::unique_ptr<::lumetta::audio::AudioConverter> converter_;
    _AudioDeviceDelegate adapter_;
    std::unique_ptr<::lumetta::audio::AudioDevice> audio_;  // last: its notices stop first
};

/// The format dictionary of `$$audio_format::`: "format", "channels", "samplerate",
/// "bitdepth", "bitrate", "duration"; "error" and zeros when `format` is nullopt.
nlohmann::json formatDictionary(const std::optional<::lumetta::audio::AudioFileInfo>& info);

/// The module on the given platform pieces (tests).
bridge::ModuleDescriptor descriptor(std::function<AudioPlatform(bridge::Services&)> makePlatform);
/// The module on PulseAudio.
bridge::ModuleDescriptor descriptor();

}  // namespace lumetta::modules::audio
