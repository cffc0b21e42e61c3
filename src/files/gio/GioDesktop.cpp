#include "files/gio/GioDesktop.h"

#include <gio/gunixmounts.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/raii/GCharPtr.h"
#include "base/raii/GErrorPtr.h"
#include "files/PathText.h"

namespace lumetta::files {

namespace {

struct UnixMountFree {
    void operator()(GUnixMountEntry* entry) const { g_unix_mount_free(entry); }
};
using UnixMountPtr = std::unique_ptr<GUnixMountEntry, UnixMountFree>;

VolumeRecord rootVolume() {
    VolumeRecord root{"/", std::nullopt};
    UnixMountPtr entry(g_unix_mount_at("/", nullptr));
    if (entry) {
        raii::GCharPtr name(g_unix_mount_guess_name(entry.get()));
        if (name && *name.get()) root.name = name.get();
    }
    return root;
}

// An eject or unmount in flight: it owns the mount and the answer until GIO calls back.
struct PendingUnmount {
    raii::GObjectPtr<GMount> mount;
    Desktop::UnmountDone done;
};

void finishUnmount(GObject* source, GAsyncResult* result, gpointer data, bool eject) {
    std::unique_ptr<PendingUnmount> pending(static_cast<PendingUnmount*>(data));
    GError* raw = nullptr;
    gboolean ok = eject ? g_mount_eject_with_operation_finish(G_MOUNT(source), result, &raw)
                        : g_mount_unmount_with_operation_finish(G_MOUNT(source), result, &raw);
    raii::GErrorPtr error(raw);
    if (ok) {
        pending->done(std::nullopt);
    } else {
        pending->done(std::string(error ? error->message : "The volume could not be unmounted."));
    }
}

void ejected(GObject* source, GAsyncResult* result, gpointer data) {
    finishUnmount(source, result, data, true);
}
void unmounted(GObject* source, GAsyncResult* result, gpointer data) {
    finishUnmount(source, result, data, false);
}

}  // namespace

GioDesktop::GioDesktop(bridge::MainThread& mainThread)
    : mainThread_(mainThread), cancellable_(g_cancellable_new()) {}

GioDesktop::~GioDesktop() {
    g_cancellable_cancel(cancellable_.get());
}

std::optional<std::string> GioDesktop::userFolder(UserFolder folder) {
    GUserDirectory which = G_USER_DIRECTORY_DOCUMENTS;
    switch (folder) {
        case UserFolder::documents:
            which = G_USER_DIRECTORY_DOCUMENTS;
            break;
        case UserFolder::music:
            which = G_USER_DIRECTORY_MUSIC;
            break;
        case UserFolder::movies:
            which = G_USER_DIRECTORY_VIDEOS;
            break;
        case UserFolder::pictures:
            which = G_USER_DIRECTORY_PICTURES;
            break;
        case UserFolder::downloads:
            which = G_USER_DIRECTORY_DOWNLOAD;
            break;
    }
    const char* path = g_get_user_special_dir(which);
    if (!path || !*path) return std::nullopt;
    return std::string(path);
}

std::vector<VolumeRecord> GioDesktop::volumesFromMonitor() {
    std::vector<VolumeRecord> out{rootVolume()};
    raii::GObjectPtr<GVolumeMonitor> monitor(g_volume_monitor_get());
    GList* mounts = g_volume_monitor_get_mounts(monitor.get());
    for (GList* item = mounts; item; item = item->next) {
        GMount* mount = G_MOUNT(item->data);
        if (g_mount_is_shadowed(mount)) continue;
        raii::GObjectPtr<GFile> root(g_mount_get_root(mount));
        raii::GCharPtr path(root ? g_file_get_path(root.get()) : nullptr);
        if (!path || std::string(path.get()) == "/") continue;
        VolumeRecord record{path.get(), std::nullopt};
        raii::GCharPtr name(g_mount_get_name(mount));
        if (name && *name.get()) record.name = name.get();
        out.push_back(std::move(record));
    }
    g_list_free_full(mounts, g_object_unref);
    return out;
}

std::vector<VolumeRecord> GioDesktop::volumesFromMountTable() {
    std::vector<VolumeRecord> out{rootVolume()};
    GList* entries = g_unix_mounts_get(nullptr);
    for (GList* item = entries; item; item = item->next) {
        auto* entry = static_cast<GUnixMountEntry*>(item->data);
        if (!g_unix_mount_guess_should_display(entry)) continue;
        std::string path = g_unix_mount_get_mount_path(entry);
        if (path == "/") continue;
        VolumeRecord record{path, std::nullopt};
        raii::GCharPtr name(g_unix_mount_guess_name(entry));
        if (name && *name.get()) record.name = name.get();
        out.push_back(std::move(record));
    }
    g_list_free_full(
        entries, [](gpointer entry) { g_unix_mount_free(static_cast<GUnixMountEntry*>(entry)); });
    return out;
}

std::vector<VolumeRecord> GioDesktop::volumes() {
    if (mainThread_.isCurrent()) return volumesFromMonitor();
    // The volume monitor belongs to the main thread; a call from the loopback server's thread
    // asks it there. The answer is shared, so a late one after the timeout is harmless.
    struct Answer {
        std::mutex lock;
        std::condition_variable ready;
        std::optional<std::vector<VolumeRecord>> volumes;
    };
    auto answer = std::make_shared<Answer>();
    mainThread_.post([answer] {
        auto volumes = volumesFromMonitor();
        std::lock_guard guard(answer->lock);
        answer->volumes = std::move(volumes);
        answer->ready.notify_all();
    });
    std::unique_lock guard(answer->lock);
    if (answer->ready.wait_for(guard, std::chrono::seconds(3),
                               [&] { return answer->volumes.has_value(); }))
        return std::move(*answer->volumes);
    guard.unlock();
    return volumesFromMountTable();
}

bool GioDesktop::openWithDefault(const std::string& pathOrUrl) {
    std::string uri = pathOrUrl;
    if (!pathOrUrl.empty() && pathOrUrl[0] == '/') {
        raii::GCharPtr converted(g_filename_to_uri(pathOrUrl.c_str(), nullptr, nullptr));
        if (!converted) return false;
        uri = converted.get();
    }
    GError* raw = nullptr;
    gboolean ok = g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &raw);
    raii::GErrorPtr error(raw);
    if (!ok) g_message("Could not open %s: %s", uri.c_str(), error ? error->message : "");
    return ok;
}

void GioDesktop::unmount(const std::string& path, UnmountDone done) {
    raii::GObjectPtr<GFile> file(g_file_new_for_path(path.c_str()));
    GError* raw = nullptr;
    raii::GObjectPtr<GMount> mount(g_file_find_enclosing_mount(file.get(), nullptr, &raw));
    raii::GErrorPtr error(raw);
    if (!mount) {
        done(std::string(error ? error->message : "No volume is mounted there."));
        return;
    }
    bool eject = g_mount_can_eject(mount.get());
    if (!eject && !g_mount_can_unmount(mount.get())) {
        done(std::string("The volume cannot be unmounted."));
        return;
    }
    GMount* target = mount.get();
    auto pending =
        std::make_unique<PendingUnmount>(PendingUnmount{std::move(mount), std::move(done)});
    if (eject) {
        g_mount_eject_with_operation(target, G_MOUNT_UNMOUNT_NONE, nullptr, cancellable_.get(),
                                     ejected, pending.release());
    } else {
        g_mount_unmount_with_operation(target, G_MOUNT_UNMOUNT_NONE, nullptr, cancellable_.get(),
                                       unmounted, pending.release());
    }
}

}  // namespace lumetta::files
