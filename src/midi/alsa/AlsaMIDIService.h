#pragma once

// The MIDI service on the ALSA sequencer. Only this folder includes ALSA headers.

#include <memory>
#include <string>

#include "midi/MIDIService.h"

namespace lumetta::midi {

/// Opens one sequencer client named `clientName` with an input port ("inputPort") and an
/// output port ("outputPort"), subscribed to the system announce port.
///
/// Sources are other clients' readable, subscribable ports, destinations their writable,
/// subscribable ones; a port's device is its client's name and its entity the port's name.
/// Unique IDs come from those names, so a device that comes back keeps its IDs. Nothing is
/// ever offline. The receive thread polls the sequencer and a wake-up descriptor; it is
/// stopped and joined by stop() or the destructor.
///
/// Returns null, with the reason in `error`, when the sequencer cannot be opened.
std::unique_ptr<MIDIService> openAlsaMIDIService(const std::string& clientName, std::string& error);

}  // namespace lumetta::midi
