#pragma once

// Argument and result helpers shared by the midi and midix modules.

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bridge/BridgeText.h"

namespace lumetta::modules::midi {

/// An endpoint argument: the JSON text of a dictionary (scalars allowed); text that is not
/// JSON gives null, which names no endpoint.
nlohmann::json endpointArgument(const std::string& text);

/// The JSON text that events carry for a dictionary the page passed.
std::string eventJSONText(const nlohmann::json& value);

/// "s" + the JSON text of an endpoint list.
std::string endpointListResult(const std::vector<nlohmann::json>& list);

/// A decimal integer argument: leading blanks, a sign and digits; 0 when there are none or
/// the argument is absent; saturated to 32 bits.
int32_t intArgument(const bridge::Arg& text);

/// Starts a MIDI connection tool if one is installed (qpwgraph, helvum, qjackctl, patchage),
/// detached from this process; false when none is found.
bool openConnectionTool();

}  // namespace lumetta::modules::midi
