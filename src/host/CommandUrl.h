#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumetta::host {

/// The URL scheme the application registers with the desktop.
inline constexpr const char* kUrlScheme = "lumetta";

/// The "app" "command" event for a command URL (host "command", with a query), or nullopt for
/// any other URL: "lumetta://command/open?x=1" gives app \f command \f open \f x=1. The query
/// is passed on undecoded.
std::optional<std::string> commandEventForUrl(std::string_view url);

}  // namespace lumetta::host
