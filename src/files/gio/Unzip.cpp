#include <gio/gio.h>
#include <sys/mman.h>
#include <unistd.h>

#include "base/raii/GErrorPtr.h"
#include "base/raii/GObjectPtr.h"
#include "base/raii/UniqueFd.h"
#include "files/FileOperations.h"

namespace lumetta::files {

FileStatus unzip(const std::string& archive, const std::string& destination) {
    static constexpr const char* kFailed = "unzip failed.";
    // In update mode the tool still asks before it replaces an older file on disk, and with no
    // answer it keeps the old file and fails. The answer "A" (all) lets it update every file it
    // chose; it comes from a private in-memory file, so the tool never waits on a terminal and
    // a tool that exits early cannot break a pipe under us.
    raii::UniqueFd answers(memfd_create("unzip-answers", MFD_CLOEXEC));
    if (!answers || ::write(answers.get(), "A\n", 2) != 2 || lseek(answers.get(), 0, SEEK_SET) != 0)
        return failure(kFailed);

    raii::GObjectPtr<GSubprocessLauncher> launcher(
        g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_STDOUT_SILENCE));
    g_subprocess_launcher_take_stdin_fd(launcher.get(), answers.release());
    const char* argv[] = {"/usr/bin/unzip", "-u",   "-d", destination.c_str(),
                          archive.c_str(),  nullptr};
    GError* raw = nullptr;
    raii::GObjectPtr<GSubprocess> process(g_subprocess_launcher_spawnv(launcher.get(), argv, &raw));
    raii::GErrorPtr spawnError(raw);
    if (!process) return failure(kFailed);
    raw = nullptr;
    gboolean waited = g_subprocess_wait(process.get(), nullptr, &raw);
    raii::GErrorPtr waitError(raw);
    if (!waited || !g_subprocess_get_successful(process.get())) return failure(kFailed);
    return FileStatus();
}

}  // namespace lumetta::files
