#include "midi/ServiceSelection.h"

#include <syslog.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "midi/alsa/AlsaMIDIService.h"
#include "midi/virtual/VirtualMIDIService.h"

namespace lumetta::midi {

namespace {
std::mutex factoryLock;
MIDIServiceFactory installedFactory;  // guarded by factoryLock
std::atomic<bool> virtualForced{false};

// To the system log, and to stderr where a developer starting the program sees it.
void logLine(int priority, const std::string& line) {
    syslog(priority, "%s", line.c_str());
    std::fprintf(stderr, "lumetta: %s\n", line.c_str());
}
}  // namespace

void setServiceFactory(MIDIServiceFactory factory) {
    std::lock_guard guard(factoryLock);
    installedFactory = std::move(factory);
}

void forceVirtualService(bool on) {
    virtualForced.store(on);
}

std::unique_ptr<MIDIService> makeService(const std::string& clientName) {
    {
        std::lock_guard guard(factoryLock);
        if (installedFactory) return installedFactory(clientName);
    }
    if (!virtualForced.load()) {
        auto service = openAlsaMIDIService(clientName);
        if (service) {
            logLine(LOG_INFO, "MIDI: " + clientName + " uses the ALSA sequencer");
            return std::move(*service);
        }
        logLine(LOG_WARNING, "MIDI: ALSA sequencer unavailable (" + service.error().message +
                                 "); " + clientName + " uses the virtual MIDI service");
    } else {
        logLine(LOG_INFO,
                "MIDI: " + clientName + " uses the virtual MIDI service (--virtual-midi)");
    }
    return VirtualMIDISystem::shared()->openClient(clientName);
}

}  // namespace lumetta::midi
