#pragma once

#include "bridge/Module.h"

namespace lumetta::modules::notification {

/// Hands out the push device token kept in the per-user store.
bridge::ModuleDescriptor descriptor();

}  // namespace lumetta::modules::notification
