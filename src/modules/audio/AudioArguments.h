#pragma once

// How the audio modules read their string arguments.

#include <cstdint>

#include "bridge/BridgeText.h"

namespace lumetta::modules::audio {

/// The leading decimal number of the text: blanks skipped, optional sign, digits with an
/// optional fraction and exponent; trailing text ignored; 0 when there is no number.
double leadingNumber(const bridge::Arg& text);

/// The leading decimal integer of the text (its fraction dropped), clamped to 64 bits.
int64_t leadingInteger(const bridge::Arg& text);

}  // namespace lumetta::modules::audio
