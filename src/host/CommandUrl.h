#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumetta::host {

/// The URL scheme the application registers with the desktop.
inline constexpr const char* kUrlScheme = "lumetta";

/// Whether `text` parses as an absolute URL: a scheme (a letter, then letters, digits, "+", "-"
/// or "."), ":", then only the characters a URL may hold, each "%" followed by two hexadecimal
/// digits. Nothing is escaped for the caller: text with spaces, quotes or non-ASCII characters
/// does not parse.
bool isUrlText(std::string_view text);

/// The "app" "command" event for a command URL (host "command", with a query), or nullopt for
/// any other URL: "lumetta://command/open?x=1" gives app \f command \f open \f x=1. The query
/// is passed on undecoded.
std::optional<std::string> commandEventForUrl(std::string_view url);

}  // namespace lumetta::host
