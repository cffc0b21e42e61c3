#pragma once

// What the fs module needs from the user's desktop: the standard folders, the mounted
// volumes, the default applications and ejecting. GioDesktop (gio/) is the Linux
// implementation; tests use doubles.

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace lumetta::files {

/// The user's standard folders besides home.
enum class UserFolder { documents, music, movies, pictures, downloads };

/// One mounted volume as the page sees it.
struct VolumeRecord {
    std::string mount;                ///< the mount path
    std::optional<std::string> name;  ///< display name, when the volume has one
};

class Desktop {
  public:
    virtual ~Desktop() = default;

    /// The folder as the user configured it, or nullopt when there is none. Any thread.
    virtual std::optional<std::string> userFolder(UserFolder folder) = 0;

    /// The mounted volumes the user sees, the root first. Any thread.
    virtual std::vector<VolumeRecord> volumes() = 0;

    /// Opens a file path (beginning with "/") or a URL with the user's default application;
    /// false when nothing could be opened. Main thread.
    virtual bool openWithDefault(const std::string& pathOrUrl) = 0;

    /// Receives nullopt once the volume is gone, or the description of the failure. Main thread.
    using UnmountDone = std::function<void(std::optional<std::string> error)>;

    /// Unmounts and ejects the volume holding `path`, without blocking; `done` runs once on the
    /// main thread, even after this object is gone (so it must not reach it). Main thread.
    virtual void unmount(const std::string& path, UnmountDone done) = 0;
};

}  // namespace lumetta::files
