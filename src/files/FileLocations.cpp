#include "files/FileLocations.h"

#include "files/PathText.h"
#include "host/Locations.h"

namespace lumetta::files {

namespace {

// An XDG folder set to the home folder itself means "not used" (xdg-user-dirs writes it that
// way), and handing out home in its place would make home the target of folder operations.
std::optional<std::string> configuredFolder(Desktop& desktop, UserFolder folder) {
    auto path = desktop.userFolder(folder);
    if (!path || path->empty() || (*path)[0] != '/') return std::nullopt;
    std::string dir = withTrailingSlash(*path);
    if (dir == withTrailingSlash(host::homeDirectory()) || dir == "/") return std::nullopt;
    return dir;
}

}  // namespace

std::string documentsDirectory(Desktop& desktop) {
    if (auto dir = configuredFolder(desktop, UserFolder::documents)) return *dir;
    return withTrailingSlash(host::homeDirectory()) + "Documents/";
}

std::string locationDirectory(const std::optional<std::string>& name, Desktop& desktop) {
    auto is = [&](std::string_view word) { return name && equalsIgnoringCase(*name, word); };
    auto folder = [&](UserFolder which) {
        auto dir = configuredFolder(desktop, which);
        return dir ? *dir : documentsDirectory(desktop);
    };
    if (is("home")) return withTrailingSlash(host::homeDirectory());
    if (is("documents")) return documentsDirectory(desktop);
    if (is("music")) return folder(UserFolder::music);
    if (is("movies")) return folder(UserFolder::movies);
    if (is("pictures")) return folder(UserFolder::pictures);
    if (is("downloads")) return folder(UserFolder::downloads);
    if (is("library")) {
        if (auto dir = host::libraryDirectory()) return withTrailingSlash(*dir);
        std::string dir = documentsDirectory(desktop) + host::kAppId + "/";
        host::makeDirectories(dir, 0700);
        return dir;
    }
    if (is("temporary")) {
        if (auto dir = host::temporaryDirectory()) return withTrailingSlash(*dir);
        // Never a shared, guessable folder: fall back to a private one in our own data.
        std::string dir = locationDirectory(std::string("library"), desktop) + "tmp/";
        host::makeDirectories(dir, 0700);
        return dir;
    }
    if (is("bundle")) return withTrailingSlash(host::bundleDirectory());
    return documentsDirectory(desktop);
}

}  // namespace lumetta::files
