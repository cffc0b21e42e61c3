#pragma once

// The security bridge module: MD5, UUIDs, AES and triple DES with page-given or default keys,
// and the machine-bound cipher. Stateless; every failure is the empty "s" result.

#include "bridge/Module.h"

namespace lumetta::modules::security {

/// The security module. Functions run on the calling channel's thread.
bridge::ModuleDescriptor descriptor();

}  // namespace lumetta::modules::security
