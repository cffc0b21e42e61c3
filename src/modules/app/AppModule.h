#pragma once

#include "bridge/Module.h"

namespace lumetta::modules::app {

/// The app module: readiness, event delivery, page storage, the in-process clipboard,
/// navigation, drag and drop, native commands and quitting.
bridge::ModuleDescriptor descriptor();

}  // namespace lumetta::modules::app
