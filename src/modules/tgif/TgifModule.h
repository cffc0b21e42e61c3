#pragma once

#include "bridge/Module.h"

namespace lumetta::modules::tgif {

/// The `tgif` module: functions that answer fixed results and do nothing else.
bridge::ModuleDescriptor descriptor();

}  // namespace lumetta::modules::tgif
