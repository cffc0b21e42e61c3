#pragma once

// The desktop services of the fs module on GIO: XDG user folders, GVolumeMonitor, the
// default-application service and GMount ejecting.

#include <gio/gio.h>

#include "base/raii/GObjectPtr.h"
#include "bridge/MainThread.h"
#include "files/Desktop.h"

namespace lumetta::files {

class GioDesktop final : public Desktop {
  public:
    /// `mainThread` must outlive this object; GIO's volume monitor is used only there.
    explicit GioDesktop(bridge::MainThread& mainThread);
    ~GioDesktop() override;
    GioDesktop(const GioDesktop&) = delete;
    GioDesktop& operator=(const GioDesktop&) = delete;

    std::optional<std::string> userFolder(UserFolder folder) override;
    /// Asks the main thread when called elsewhere and waits for it a few seconds at most;
    /// then falls back to the mount table.
    std::vector<VolumeRecord> volumes() override;
    bool openWithDefault(const std::string& pathOrUrl) override;
    void unmount(const std::string& path, UnmountDone done) override;

    /// The volumes from GIO's volume monitor; main thread.
    static std::vector<VolumeRecord> volumesFromMonitor();
    /// The user-visible volumes from the system's mount table; any thread.
    static std::vector<VolumeRecord> volumesFromMountTable();

  private:
    bridge::MainThread& mainThread_;
    raii::GObjectPtr<GCancellable> cancellable_;  // cancels ejects still running at destruction
};

}  // namespace lumetta::files
