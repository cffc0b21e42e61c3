#pragma once

#include "bridge/Module.h"

namespace lumetta::modules::util {

/// Text and hex conversions.
bridge::ModuleDescriptor descriptor();

}  // namespace lumetta::modules::util
