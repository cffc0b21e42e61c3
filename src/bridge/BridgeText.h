#pragma once

// Text rules shared by every call channel: splitting call bodies, percent-decoding,
// script literals and the string-to-boolean rule.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumetta::bridge {

/// A bridge argument: either may be absent, which is not the same as empty.
using Arg = std::optional<std::string>;

/// Splits at every occurrence of `sep`; an empty text gives one empty field.
std::vector<std::string_view> splitFields(std::string_view text, char sep);

/// Standard URL percent-decoding. Malformed sequences or a result that is not UTF-8 give nullopt.
std::optional<std::string> percentDecode(std::string_view text);

/// Percent-encodes everything but unreserved characters (the inverse of percentDecode).
std::string percentEncode(std::string_view text);

/// True when `text` is well-formed UTF-8.
bool isValidUtf8(std::string_view text);

/// Makes `text` safe between single quotes in a script, so that the script's parser yields
/// exactly `text` again: quotes, backslashes, line terminators and control characters are
/// escaped. Bytes that are not UTF-8 become U+FFFD, since a script cannot carry them.
std::string escapeScriptLiteral(std::string_view text);

/// The platform's string-to-boolean rule: skip leading white space; true when the text then
/// starts with Y, y, T, t, or an optionally signed number with leading zeros whose first
/// significant digit is 1-9. Absent is false.
bool boolValue(const Arg& text);

/// Joins fields with form feeds: the format of a bridge event.
std::string joinEvent(std::initializer_list<std::string_view> fields);

}  // namespace lumetta::bridge
