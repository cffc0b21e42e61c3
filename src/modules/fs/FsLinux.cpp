#include "bridge/Services.h"
#include "files/gio/GioDesktop.h"
#include "files/gtk/GtkFileDialogs.h"
#include "modules/fs/FsModule.h"

namespace lumetta::modules::fs {

bridge::ModuleDescriptor descriptor() {
    return descriptor([](bridge::Services& services) {
        Platform platform;
        platform.desktop = std::make_unique<files::GioDesktop>(services.mainThread);
        platform.dialogs = std::make_unique<files::GtkFileDialogs>();
        return platform;
    });
}

}  // namespace lumetta::modules::fs
