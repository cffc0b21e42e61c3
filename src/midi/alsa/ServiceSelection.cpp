#include "midi/ServiceSelection.h"

#include <syslog.h>

#include <atomic>
#include <mutex>

#include "midi/alsa/AlsaMIDIService.h"
#include "midi/virtual/VirtualMIDIService.h"

namespace lumetta::midi {

namespace {
std::mutex factoryLock;
MIDIServiceFactory installedFactory;  // guarded by factoryLock
std::atomic<bool> virtualForced{false};
}  // namespace

void setServiceFactory(MIDIServiceFactory factory) {
    std::lock_guard guard(factoryLock);
    installedFactory = std::move(factory);
}

void forceVirtualService(bool on) { virtualForced.store(on); }

std::unique_ptr<MIDIService> makeService(const std::string& clientName) {
    {
        std::lock_guard guard(factoryLock);
        if (installedFactory) return installedFactory(clientName);
    }
    if (!virtualForced.load()) {
        std::string error;
        if (auto service = openAlsaMIDIService(clientName, error)) {
            syslog(LOG_INFO, "MIDI: %s uses the ALSA sequencer", clientName.c_str());
            return service;
        }
        syslog(LOG_WARNING, "MIDI: ALSA sequencer unavailable (%s); %s uses the virtual MIDI service",
               error.c_str(), clientName.c_str());
    } else {
        syslog(LOG_INFO, "MIDI: %s uses the virtual MIDI service (--virtual-midi)", clientName.c_str());
    }
    return VirtualMIDISystem::shared()->openClient(clientName);
}

}  // namespace lumetta::midi
