#include "files/TestHome.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace lumetta::test {

namespace {

struct Home {
    std::string path;

    Home() {
        char pattern[] = "/tmp/lumetta-fs-test-XXXXXX";
        if (!mkdtemp(pattern)) throw std::runtime_error("cannot make a temporary home");
        path = std::string(pattern) + "/";
        auto sub = [&](const char* name) {
            std::string dir = path + name;
            std::filesystem::create_directories(dir);
            return dir;
        };
        setenv("HOME", pattern, 1);
        setenv("XDG_CONFIG_HOME", sub(".config").c_str(), 1);
        setenv("XDG_DATA_HOME", sub(".local/share").c_str(), 1);
        setenv("XDG_CACHE_HOME", sub(".cache").c_str(), 1);
        setenv("XDG_STATE_HOME", sub(".local/state").c_str(), 1);
        std::string runtime = sub("runtime");
        chmod(runtime.c_str(), 0700);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        setenv("TMPDIR", sub("tmp").c_str(), 1);
        sub("Docs");
        std::ofstream dirs(path + ".config/user-dirs.dirs");
        dirs << "XDG_DOCUMENTS_DIR=\"$HOME/Docs\"\n"
             << "XDG_MUSIC_DIR=\"$HOME/Music\"\n"
             << "XDG_VIDEOS_DIR=\"$HOME/Videos\"\n"
             << "XDG_PICTURES_DIR=\"$HOME/Pictures\"\n"
             << "XDG_DOWNLOAD_DIR=\"$HOME/\"\n";
    }
    ~Home() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

// Made before main, so the environment is in place before GLib reads and caches it.
Home& home() {
    static Home instance;
    return instance;
}
const bool homeReady = !home().path.empty();

}  // namespace

const std::string& testHome() {
    return home().path;
}

ScratchDir::ScratchDir() {
    std::string pattern = testHome() + "scratch-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a scratch directory");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    // Owner write bits back first, so read-only test folders can go too.
    for (auto& entry : std::filesystem::recursive_directory_iterator(path_, ignored))
        if (entry.is_directory(ignored) && !entry.is_symlink(ignored))
            std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

void putFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string fileContent(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace lumetta::test
