#pragma once

// The Sequencer interface on alsa-lib, and the steady clock for output pacing.

#include <memory>
#include <string>

#include "midi/alsa/Sequencer.h"

namespace lumetta::midi {

/// Opens a non-blocking duplex client named `clientName` on the "default" sequencer; null, with
/// the reason in `error`, when it cannot be opened (no /dev/snd/seq, for one).
std::unique_ptr<Sequencer> openAlsaSequencer(const std::string& clientName, std::string& error);

/// std::chrono::steady_clock.
class SteadyPacingClock final : public PacingClock {
  public:
    Duration now() override;
    void waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
                   Duration deadline) override;
};

}  // namespace lumetta::midi
