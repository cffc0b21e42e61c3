#pragma once

#include "bridge/Module.h"

namespace lumetta::modules::store {

/// In-application store: there is none on this platform, so it answers with fixed results.
bridge::ModuleDescriptor descriptor();

}  // namespace lumetta::modules::store
