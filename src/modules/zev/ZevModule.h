#pragma once

#include "bridge/Module.h"
#include "bridge/NotificationCenter.h"

namespace lumetta::modules::zev {

/// The process-wide notifications that carry the page's commands to the secondary panel. Each
/// is posted by the matching bridge function with its first argument (possibly absent) as the
/// object and no addressee.
namespace note {
/// Geometry JSON text.
inline constexpr bridge::Notification<bridge::Arg> positionConfig{"zevViewPositionConfig"};
/// No meaningful object.
inline constexpr bridge::Notification<bridge::Arg> show{"showWebViewZEV"};
/// No meaningful object.
inline constexpr bridge::Notification<bridge::Arg> hide{"hideWebViewZEV"};
/// URL text.
inline constexpr bridge::Notification<bridge::Arg> openPage{"openPageInZEVView"};
/// Message text.
inline constexpr bridge::Notification<bridge::Arg> sendMsg{"sendMsgToZEV"};
}  // namespace note

/// The zev functions: each posts its notification and answers "v" at once, on the calling
/// channel's thread; the panel's controller does the work on the main thread.
bridge::ModuleDescriptor descriptor();

}  // namespace lumetta::modules::zev
