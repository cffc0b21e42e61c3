#pragma once

#include "bridge/Module.h"

namespace lumetta::modules::recognizer {

/// Speech recognition: not available, every start reports an error event.
bridge::ModuleDescriptor descriptor();

}  // namespace lumetta::modules::recognizer
