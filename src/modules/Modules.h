#pragma once

#include <vector>

#include "bridge/Module.h"

namespace lumetta::modules {

/// Every bridge module of the application, in construction order.
std::vector<bridge::ModuleDescriptor> allModules();

/// Makes the MIDI module use the built-in virtual service only (--virtual-midi); call before
/// the first page is created.
void useVirtualMidi();

/// Adds the native-control commands to the command table; once, at start-up.
void registerCommands();

}  // namespace lumetta::modules
