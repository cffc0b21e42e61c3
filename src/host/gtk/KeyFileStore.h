#pragma once

#include <glib.h>

#include <memory>
#include <mutex>
#include <string>

#include "bridge/Services.h"

namespace lumetta::host {

/// The per-user key/value store: a GLib key file rewritten atomically (a new file renamed over
/// the old) on every change, so a crash leaves either the old or the new store, never half.
/// Keys are percent-encoded in the file, so the page may use any text as a key. Any thread.
class KeyFileStore final : public bridge::KeyValueStore {
  public:
    /// Loads `path` when it exists; a missing or unreadable file starts empty.
    explicit KeyFileStore(std::string path);

    std::optional<std::string> get(const std::string& key) override;
    bool set(const std::string& key, const std::string& value) override;

    const std::string& path() const { return path_; }

  private:
    struct KeyFileDeleter {
        void operator()(GKeyFile* f) const { g_key_file_free(f); }
    };

    std::string path_;
    std::mutex lock_;
    std::unique_ptr<GKeyFile, KeyFileDeleter> file_;
};

}  // namespace lumetta::host
