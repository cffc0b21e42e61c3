#pragma once

// The file-system operations behind the fs module, on plain POSIX calls. Every function is
// safe to call from any thread and keeps no state between calls; failures come back as the
// platform's description of the error (strerror wording).

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Expected.h"

namespace lumetta::files {

/// Success, or the description of what failed.
using FileStatus = Expected<void>;

/// The failure of the last system call, from `errno` (strerror wording).
Unexpected<Error> errnoFailure(int error);

/// One file-system item as the page sees it.
struct EntryRecord {
    std::string name;   ///< last component of the item's path
    uint64_t size = 0;  ///< bytes; 0 for a directory
    bool directory = false;
    bool readable = false;  ///< the current user may read it
    bool writable = false;  ///< the current user may write it
    bool deletable = true;  ///< not marked immutable
};

/// The record as the JSON object of the bridge ("name", "size", "directory", ...).
nlohmann::json toJson(const EntryRecord& entry);

/// The reason of every failed write to a file that could not be opened and could not be made.
inline constexpr const char* kCreateFailed = "Failed to create file.";

/// The reason given when a file is to be read but the path names a pipe, device or socket.
inline constexpr const char* kNotRegularFile = "Not a regular file.";

/// Reads the record of the item at `path`. A symbolic link describes what it points at; a
/// dangling link describes itself.
Expected<EntryRecord> attributes(const std::string& path);

/// The records of the items directly inside `directory` (hidden ones included), sorted by
/// name. Items whose extension equals `excludedExtension` without regard to case are left out
/// (nothing is left out when it is empty); items whose record cannot be read are skipped.
Expected<std::vector<EntryRecord>> listDirectory(const std::string& directory,
                                                 std::string_view excludedExtension);

/// Makes the directory and any missing parents; an existing directory is success.
FileStatus makeDirectory(const std::string& path);

/// Removes the item, a directory with everything inside it. Links are removed, not followed.
FileStatus removeItem(const std::string& path);

/// Copies the item to `destination`, a directory with its contents (links stay links, modes
/// and modification times are kept). An existing destination fails and nothing changes; a copy
/// that fails part-way is taken away again.
FileStatus copyItem(const std::string& source, const std::string& destination);

/// Moves the item to `destination`, across file systems too. An existing destination fails and
/// nothing changes.
FileStatus moveItem(const std::string& source, const std::string& destination);

/// The whole content of a file. Only regular files are read: anything else fails at once
/// (kNotRegularFile, or the description of EISDIR for a directory) without waiting for it.
Expected<std::string> readWhole(const std::string& path);

/// Up to `length` bytes from `offset` (fewer at the end of the file; none when `length` is not
/// positive). A negative offset fails; only regular files are read, as by readWhole.
Expected<std::string> readRange(const std::string& path, int64_t offset, int64_t length);

/// The whole content of a file, which must be valid UTF-8.
Expected<std::string> readText(const std::string& path);

/// The one write path. Replacing (append false) writes a new file beside the old one and
/// renames it over it where that loses nothing (the folder is writable, the file has one link,
/// its owner can be kept and it has no extended attributes or ACLs), so a failure at any point
/// leaves the old file whole; permissions are kept, and a symbolic link keeps pointing at its
/// file. Otherwise the file is cut and written in place. Appending adds at the end (and cuts a
/// failed append back). A file that cannot be opened for writing is created, never replaced;
/// when that fails the reason is kCreateFailed.
FileStatus writeFile(const std::string& path, std::string_view bytes, bool append);

/// Runs /usr/bin/unzip -u -d `destination` `archive` and waits for it: missing files are
/// extracted, files older than the archive's copies are replaced, newer ones stay. Its output
/// is discarded; any failure is "unzip failed.". Blocks the calling thread.
FileStatus unzip(const std::string& archive, const std::string& destination);

}  // namespace lumetta::files
