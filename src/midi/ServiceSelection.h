#pragma once

// How a MIDI client gets its service: the ALSA sequencer, or the in-process virtual service.

#include <memory>
#include <string>

#include "midi/MIDIService.h"

namespace lumetta::midi {

/// Makes the service for one client named `clientName`; null when it cannot be opened.
using MIDIServiceFactory =
    std::function<std::unique_ptr<MIDIService>(const std::string& clientName)>;

/// Replaces how MIDI clients get their service (tests, benchmarks); an empty factory restores
/// the default. Call before the first client is made; main thread.
void setServiceFactory(MIDIServiceFactory factory);

/// `lumetta --virtual-midi`: every later client uses the in-process virtual service instead of
/// the ALSA sequencer. Call from main() before the first client is made.
void forceVirtualService(bool on);

/// The service for a new client: the installed factory if any; else the ALSA sequencer, falling
/// back to the virtual service when the sequencer cannot be opened (the choice is logged).
std::unique_ptr<MIDIService> makeService(const std::string& clientName);

}  // namespace lumetta::midi
