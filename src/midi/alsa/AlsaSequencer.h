#pragma once

// The Sequencer interface on alsa-lib, and the steady clock for output pacing.

#include <memory>
#include <string>

#include "base/Expected.h"
#include "midi/alsa/Sequencer.h"

namespace lumetta::midi {

/// Opens a non-blocking duplex client named `clientName` on the "default" sequencer; the reason
/// when it cannot be opened (no /dev/snd/seq, for one).
Expected<std::unique_ptr<Sequencer>> openAlsaSequencer(const std::string& clientName);

/// std::chrono::steady_clock.
class SteadyPacingClock final : public PacingClock {
  public:
    Duration now() override;
    void waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
                   Duration deadline) override;
};

}  // namespace lumetta::midi
