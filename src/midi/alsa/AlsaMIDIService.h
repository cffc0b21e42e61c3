#pragma once

// The MIDI service on the ALSA sequencer. Only this folder includes ALSA headers.

#include <memory>
#include <string>

#include "base/Expected.h"
#include "midi/MIDIService.h"

namespace lumetta::midi {

class Sequencer;
class PacingClock;

/// Opens one sequencer client named `clientName` with an input port ("inputPort") and an
/// output port ("outputPort"), subscribed to the system announce port.
///
/// Sources are other clients' readable, subscribable MIDI ports (generic MIDI, synth or
/// application type, not inactive), destinations their writable, subscribable ones; a port's
/// device is its client's name and its entity the port's name. Unique IDs come from those names
/// and, for a sound card's port, the card's long name (which carries the USB path), so a device
/// that comes back keeps its IDs and two identical devices keep theirs apart. A port keeps its
/// ID while its address and names stay. Nothing is ever offline.
///
/// Output is subscribed to each destination before its first event and paced per destination
/// on a sender thread (SequencerOutput); sends never wait. Failed connections and writes are
/// reported through MIDIServiceListener::midiIOError. The receive thread polls the sequencer and
/// a wake-up descriptor; both threads are stopped and joined by stop() or the destructor.
///
/// Returns the reason instead when the sequencer cannot be opened.
Expected<std::unique_ptr<MIDIService>> openAlsaMIDIService(const std::string& clientName);

/// The same service on an already open sequencer client, pacing its output on `clock`. The
/// tests open it on a fake sequencer.
Expected<std::unique_ptr<MIDIService>> openAlsaMIDIService(std::unique_ptr<Sequencer> sequencer,
                                                           std::shared_ptr<PacingClock> clock);

}  // namespace lumetta::midi
