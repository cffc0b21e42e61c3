#pragma once

// The directories the page names by word ("home", "documents", "library", ...).

#include <string>
#include <string_view>

#include "files/Desktop.h"

namespace lumetta::files {

/// The user's documents folder, ending in "/". A folder the user turned off (set to home, as
/// xdg-user-dirs does) or never configured is "~/Documents/". Any thread.
std::string documentsDirectory(Desktop& desktop);

/// The directory for a location name compared without regard to case, ending in "/": home,
/// documents, music, movies, pictures, downloads, library (created on demand), temporary
/// (private, created on demand), bundle; anything else, or nothing, is the documents folder.
/// Any thread.
std::string locationDirectory(const std::optional<std::string>& name, Desktop& desktop);

}  // namespace lumetta::files
