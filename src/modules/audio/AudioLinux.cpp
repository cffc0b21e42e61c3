#include "audio/ffmpeg/FfmpegAudioFiles.h"
#include "audio/pulse/PulseAudioSystem.h"
#include "files/FileLocations.h"
#include "files/gio/GioDesktop.h"
#include "modules/audio/AudioModule.h"

namespace lumetta::modules::audio {

bridge::ModuleDescriptor descriptor() {
    return descriptor([](bridge::Services& services) {
        AudioPlatform platform;
        platform.system = std::make_unique<::lumetta::audio::pulse::PulseAudioSystem>();
        platform.files = std::make_unique<::lumetta::audio::FfmpegAudioFiles>();
        platform.temporaryFolder = [&mainThread =
                                        services.mainThread]() -> std::optional<std::string> {
            files::GioDesktop desktop(mainThread);
            return files::locationDirectory(std::string("temporary"), desktop);
        };
        return platform;
    });
}

}  // namespace lumetta::modules::audio
