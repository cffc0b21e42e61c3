#include "files/FileOperations.h"
#include "files/gio/GObjectPtr.h"

namespace lumetta::files {

FileStatus unzip(const std::string& archive, const std::string& destination) {
    static constexpr const char* kFailed = "unzip failed.";
    const char* argv[] = {"/usr/bin/unzip", "-u", "-d", destination.c_str(), archive.c_str(),
                          nullptr};
    // Standard input is /dev/null: a question from the tool must never wait for an answer
    // from the application's terminal.
    GError* raw = nullptr;
    gint status = 0;
    gboolean started = g_spawn_sync(
        nullptr, const_cast<char**>(argv), nullptr,  // g_spawn_sync does not write argv
        static_cast<GSpawnFlags>(G_SPAWN_STDOUT_TO_DEV_NULL), nullptr, nullptr, nullptr, nullptr,
        &status, &raw);
    GErrorPtr error(raw);
    if (!started) return FileStatus::failure(kFailed);
    if (!g_spawn_check_wait_status(status, nullptr)) return FileStatus::failure(kFailed);
    return FileStatus::success();
}

}  // namespace lumetta::files
