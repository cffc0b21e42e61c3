#include "host/Locations.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace lumetta::host {

static std::string withSlash(std::string path) {
    if (path.empty() || path.back() != '/') path.push_back('/');
    return path;
}

std::string homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && *home) return withSlash(home);
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return withSlash(pw->pw_dir);
    return "/";
}

bool makeDirectories(const std::string& path, unsigned mode) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    if (auto slash = trimmed.rfind('/'); slash != std::string::npos && slash > 0) {
        if (!makeDirectories(trimmed.substr(0, slash), 0755)) return false;
    }
    if (mkdir(trimmed.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) return false;
    return stat(trimmed.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A directory only this user can enter: created 0700, and refused when someone else made it
// first, when it is a link, or when others may enter it.
static bool privateDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_uid == getuid() && (st.st_mode & 077) == 0;
}

std::optional<std::string> temporaryDirectory() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
        std::string dir = withSlash(runtime) + kAppId;
        if (privateDirectory(dir)) return withSlash(dir);
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string base = (tmp && *tmp == '/') ? withSlash(tmp) : std::string("/tmp/");
    std::string dir = base + kAppId + "-" + std::to_string(getuid());
    if (privateDirectory(dir)) return withSlash(dir);
    return std::nullopt;
}

static std::optional<std::string> xdgAppDirectory(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    std::string base = (value && *value == '/') ? withSlash(value) : homeDirectory() + fallback;
    std::string dir = base + kAppId + "/";
    if (!makeDirectories(dir, 0700)) return std::nullopt;
    return dir;
}

namespace {
std::mutex bundleLock;
std::string bundlePath;  // guarded by bundleLock
}  // namespace

void setBundleDirectory(const std::string& path) {
    std::lock_guard guard(bundleLock);
    bundlePath = path.empty() ? std::string() : withSlash(path);
}

std::string bundleDirectory() {
    {
        std::lock_guard guard(bundleLock);
        if (!bundlePath.empty()) return bundlePath;
    }
    // Read again, larger, while the result fills the buffer: it may have been cut.
    std::vector<char> buffer(4096);
    ssize_t n = 0;
    while ((n = readlink("/proc/self/exe", buffer.data(), buffer.size())) > 0 &&
           static_cast<size_t>(n) == buffer.size() && buffer.size() < 1024 * 1024)
        buffer.resize(buffer.size() * 2);
    if (n <= 0 || static_cast<size_t>(n) == buffer.size()) return "/";
    std::string exe(buffer.data(), static_cast<size_t>(n));
    auto slash = exe.rfind('/');
    return slash == std::string::npos ? std::string("/") : exe.substr(0, slash + 1);
}

std::optional<std::string> libraryDirectory() {
    return xdgAppDirectory("XDG_DATA_HOME", ".local/share/");
}

std::optional<std::string> configDirectory() {
    return xdgAppDirectory("XDG_CONFIG_HOME", ".config/");
}

}  // namespace lumetta::host
