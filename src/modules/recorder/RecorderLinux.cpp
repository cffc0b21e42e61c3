#include "audio/ffmpeg/FfmpegAudioFiles.h"
#include "audio/pulse/PulseAudioSystem.h"
#include "modules/recorder/RecorderModule.h"

namespace lumetta::modules::recorder {

bridge::ModuleDescriptor descriptor() {
    return descriptor([](bridge::Services&) {
        RecorderPlatform platform;
        platform.queues =
            std::make_unique<::lumetta::audio::pulse::PulseQueueFactory>("Lumetta recorder");
        platform.files = std::make_unique<::lumetta::audio::FfmpegAudioFiles>();
        return platform;
    });
}

}  // namespace lumetta::modules::recorder
