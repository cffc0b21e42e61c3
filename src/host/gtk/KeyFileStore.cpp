#include "host/gtk/KeyFileStore.h"

#include <syslog.h>

#include "base/raii/GCharPtr.h"
#include "base/raii/GErrorPtr.h"
#include "base/raii/GObjectPtr.h"
#include "bridge/BridgeText.h"
#include "host/Locations.h"

namespace lumetta::host {

namespace {
constexpr const char* kGroup = "store";
}  // namespace

KeyFileStore::KeyFileStore(std::string path) : path_(std::move(path)), file_(g_key_file_new()) {
    GError* error = nullptr;
    if (!g_key_file_load_from_file(file_.get(), path_.c_str(), G_KEY_FILE_KEEP_COMMENTS, &error)) {
        raii::GErrorPtr owner(error);
        if (!g_error_matches(error, G_FILE_ERROR, G_FILE_ERROR_NOENT))
            syslog(LOG_WARNING, "store: cannot read %s: %s", path_.c_str(), error->message);
    }
}

std::optional<std::string> KeyFileStore::get(const std::string& key) {
    std::string encoded = bridge::percentEncode(key);
    std::lock_guard guard(lock_);
    raii::GCharPtr value(g_key_file_get_string(file_.get(), kGroup, encoded.c_str(), nullptr));
    if (!value) return std::nullopt;
    return std::string(value.get());
}

bool KeyFileStore::set(const std::string& key, const std::string& value) {
    std::string encoded = bridge::percentEncode(key);
    std::lock_guard guard(lock_);
    // Key files hold UTF-8 text only.
    if (!bridge::isValidUtf8(value)) return false;
    g_key_file_set_string(file_.get(), kGroup, encoded.c_str(), value.c_str());
    gsize length = 0;
    raii::GCharPtr data(g_key_file_to_data(file_.get(), &length, nullptr));
    std::string dir = path_.substr(0, path_.rfind('/') + 1);
    if (!dir.empty()) makeDirectories(dir, 0700);
    GError* error = nullptr;
    if (!g_file_set_contents_full(path_.c_str(), data.get(), static_cast<gssize>(length),
                                  G_FILE_SET_CONTENTS_CONSISTENT, 0600, &error)) {
        raii::GErrorPtr owner(error);
        syslog(LOG_ERR, "store: cannot write %s: %s", path_.c_str(), error->message);
        return false;
    }
    return true;
}

}  // namespace lumetta::host
