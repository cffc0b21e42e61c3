#pragma once

// The fs bridge module: locations, volumes, listings, file records, file operations, reading
// and writing, unpacking, the default application, the user's file dialogs, ejecting and the
// media files of the documents folder.

#include <functional>
#include <memory>

#include "bridge/Module.h"
#include "files/Desktop.h"
#include "files/FileDialogs.h"

namespace lumetta::bridge {
class NativeCall;
}

namespace lumetta::modules::fs {

/// The desktop services one fs module uses; it owns them.
struct Platform {
    std::unique_ptr<files::Desktop> desktop;
    std::unique_ptr<files::FileDialogs> dialogs;
};

/// Builds the platform of a new module; called on the main thread while the bridge is built.
using PlatformFactory = std::function<Platform(bridge::Services& services)>;

/// The fs module on the Linux desktop (GIO and GTK file choosers).
bridge::ModuleDescriptor descriptor();

/// The fs module on the given platform.
bridge::ModuleDescriptor descriptor(PlatformFactory factory);

/// The module object. Functions run on the calling channel's thread; dialogs, opening with
/// the default application and ejecting are moved to the main thread, and their outcome comes
/// back as an event posted to this page's bridge only. Created and destroyed on the main
/// thread; tasks it posts there hold only a weak handle on it.
class FsModule final : public bridge::Module {
  public:
    FsModule(bridge::ModuleContext& context, Platform platform);
    ~FsModule() override;
    FsModule(const FsModule&) = delete;
    FsModule& operator=(const FsModule&) = delete;

    /// Dialogs waiting or showing; main thread.
    const files::DialogQueue& dialogQueue() const { return *queue_; }

  private:
    void registerFunctions(bridge::FunctionTable& functions);
    /// Runs `task` on the main thread while this module still exists; any thread.
    void onMainThread(std::function<void(FsModule&)> task);
    void showDialog(files::DialogRequest request, std::string event, bool folderSlash);

    bridge::NativeCall& native_;
    bridge::Services& services_;
    Platform platform_;
    std::unique_ptr<files::DialogQueue> queue_;  // uses platform_.dialogs; destroyed first
    std::shared_ptr<FsModule*> self_;
};

}  // namespace lumetta::modules::fs
