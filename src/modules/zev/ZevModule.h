#pragma once

#include "bridge/Module.h"

namespace lumetta::modules::zev {

/// Names of the process-wide notifications that carry the page's commands to the secondary
/// panel. Each is posted by the matching bridge function with its first argument (a
/// bridge::Arg, possibly absent) as the object and no addressee.
namespace note {
inline constexpr const char* positionConfig = "zevViewPositionConfig";  ///< geometry JSON text
inline constexpr const char* show = "showWebViewZEV";                   ///< no meaningful object
inline constexpr const char* hide = "hideWebViewZEV";                   ///< no meaningful object
inline constexpr const char* openPage = "openPageInZEVView";            ///< URL text
inline constexpr const char* sendMsg = "sendMsgToZEV";                  ///< message text
}  // namespace note

/// The zev functions: each posts its notification and answers "v" at once, on the calling
/// channel's thread; the panel's controller does the work on the main thread.
bridge::ModuleDescriptor descriptor();

}  // namespace lumetta::modules::zev
