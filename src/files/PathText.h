#pragma once

// Path text rules shared by the fs module: components, extensions and the names that may
// address an item inside a folder. Plain string work, no file-system access.

#include <string>
#include <string_view>

namespace lumetta::files {

/// The last component of `path`, trailing slashes ignored: "/a/b/" gives "b", "/" gives "/",
/// "" gives "".
std::string lastPathComponent(std::string_view path);

/// `path` without its last component: "/a/b" gives "/a", "/a" gives "/", "a" gives "".
std::string deletingLastPathComponent(std::string_view path);

/// The extension of a file name without its dot; "" when there is none. A leading dot marks a
/// hidden file, not an extension (".profile" has none).
std::string pathExtension(std::string_view name);

/// ASCII comparison without regard to case.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

/// True when `name` names exactly one item inside a folder: not empty, not "." or "..", and
/// without a "/" or a NUL.
bool isSingleItemName(std::string_view name);

/// `directory` with exactly one "/" at its end.
std::string withTrailingSlash(std::string directory);

}  // namespace lumetta::files
