#pragma once

// Per-user locations of the application on Linux. Directories end in "/".

#include <optional>
#include <string>

namespace lumetta::host {

/// The application id, also the name of the per-user data and config folders.
inline constexpr const char* kAppId = "com.velmar.lumetta";

/// $HOME, ending in "/".
std::string homeDirectory();

/// A private per-user temporary directory (mode 0700, owned by the user, never a link),
/// created on demand: $XDG_RUNTIME_DIR/com.velmar.lumetta/ when usable, else
/// $TMPDIR (or /tmp)/com.velmar.lumetta-UID/. nullopt when no safe directory can be made.
std::optional<std::string> temporaryDirectory();

/// $XDG_DATA_HOME/com.velmar.lumetta/ (default ~/.local/share/...), created on demand.
std::optional<std::string> libraryDirectory();

/// $XDG_CONFIG_HOME/com.velmar.lumetta/ (default ~/.config/...), created on demand.
std::optional<std::string> configDirectory();

/// Records the installed resources directory ("bundle"); the application calls it once at
/// start-up, before any page runs. Any thread; a trailing "/" is added when missing.
void setBundleDirectory(const std::string& path);

/// The installed resources directory, ending in "/": the one given to setBundleDirectory, or
/// the running program's own directory when none was given. Any thread.
std::string bundleDirectory();

/// Creates `path` (and its parents) with `mode` when missing; true when it is a directory.
bool makeDirectories(const std::string& path, unsigned mode);

}  // namespace lumetta::host
