#include "audio/ffmpeg/FfmpegAudioFiles.h"
#include "audio/pulse/PulseAudioSystem.h"
#include "files/FileLocations.h"
#include "files/gio/GioDesktop.h"
#include "modules/player/PlayerModule.h"

namespace lumetta::modules::player {

bridge::ModuleDescriptor descriptor() {
    return descriptor([](bridge::Services& services) {
        PlayerPlatform platform;
        platform.queues =
            std::make_unique<::lumetta::audio::pulse::PulseQueueFactory>("Lumetta player");
        platform.files = std::make_unique<::lumetta::audio::FfmpegAudioFiles>();
        platform.documentsFolder = [&mainThread = services.mainThread] {
            files::GioDesktop desktop(mainThread);
            return files::documentsDirectory(desktop);
        };
        return platform;
    });
}

}  // namespace lumetta::modules::player
