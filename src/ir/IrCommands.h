#pragma once

#include <nlohmann/json.hpp>

#include "host/NativeControl.h"

namespace lumetta::ir {

/// Adds the "convert" and "wavstat" native-control commands and routes the conversion's
/// outcome to the pages as the "convert" command event. Call once at start-up.
void registerIrCommands();

/// The "convert" command: "path" loads and starts, "req" "cancel" / "progress". Main thread.
bool convertCommand(host::NativeWindow window, const nlohmann::json& args, nlohmann::json& result);
/// The "wavstat" command: the facts of the WAV file at "path". Main thread.
bool wavstatCommand(host::NativeWindow window, const nlohmann::json& args, nlohmann::json& result);

}  // namespace lumetta::ir
