#include "files/FileOperations.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <system_error>

#include "base/raii/UniqueFd.h"
#include "bridge/BridgeText.h"
#include "files/PathText.h"

namespace lumetta::files {

Unexpected<Error> errnoFailure(int error) {
    return failure(std::generic_category().message(error));
}

static Unexpected<Error> failed(int error) {
    return failure(std::generic_category().message(error));
}

nlohmann::json toJson(const EntryRecord& entry) {
    return nlohmann::json{{"name", entry.name},           {"size", entry.size},
                          {"directory", entry.directory}, {"readable", entry.readable},
                          {"writable", entry.writable},   {"deletable", entry.deletable}};
}

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Reads until the end of the file or until `limit` bytes are in; false with errno set on error.
bool readAll(int fd, std::string& out, size_t limit) {
    char buffer[65536];
    while (out.size() < limit) {
        size_t want = std::min(sizeof buffer, limit - out.size());
        ssize_t n = ::read(fd, buffer, want);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

// The process's file-creation mask, read without changing it (umask(2) can only be read by
// setting it, which would race with other threads creating files).
mode_t currentUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0)
            return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
    }
    return 022;
}

// Opens a file for reading only when it is a regular file. The open never waits (a pipe with
// no writer would stop the calling thread), and pipes, devices and sockets are refused before
// anything is read: /dev/zero would never end.
Expected<raii::UniqueFd> openRegularFile(const std::string& path) {
    raii::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) return failed(errno);
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) return failed(errno);
    if (S_ISDIR(st.st_mode)) return failed(EISDIR);
    if (!S_ISREG(st.st_mode)) return failure(kNotRegularFile);
    fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

void syncDirectory(const std::string& directory) {
    raii::UniqueFd dir(
        ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) fsync(dir.get());
}

// A new, empty file beside `target` that nobody else can have opened: the caller renames it
// into place or unlinks it.
struct TempFile {
    raii::UniqueFd fd;
    std::string path;
};

std::optional<TempFile> makeTempBeside(const std::string& target) {
    std::string dir = deletingLastPathComponent(target);
    std::string name = lastPathComponent(target);
    if (name.size() > 200) name.resize(200);
    std::string pattern =
        (dir.empty() ? std::string() : withTrailingSlash(dir)) + "." + name + ".XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    int fd = mkostemp(buffer.data(), O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    return TempFile{raii::UniqueFd(fd), std::string(buffer.data())};
}

// Fills a temporary file and renames it to `target`. `replace` false never replaces an item
// that already exists there. On failure the temporary file is gone and errno is set.
bool writeBeside(const std::string& target, std::string_view bytes, mode_t mode,
                 const struct stat* owner, bool replace) {
    auto temp = makeTempBeside(target);
    if (!temp) return false;
    auto fail = [&] {
        int saved = errno;
        temp->fd.reset();
        unlink(temp->path.c_str());
        errno = saved;
        return false;
    };
    if (!writeAll(temp->fd.get(), bytes)) return fail();
    if (fchmod(temp->fd.get(), mode) != 0) return fail();
    if (owner) {
        struct stat mine {};
        // Keeping the owner is only possible for root; anyone else keeps their own ownership.
        if (fstat(temp->fd.get(), &mine) == 0 &&
            (mine.st_uid != owner->st_uid || mine.st_gid != owner->st_gid)) {
            if (fchown(temp->fd.get(), owner->st_uid, owner->st_gid) != 0) {
                // Not allowed: the file keeps our ownership, which is what a rewrite by this
                // user produces anyway.
            }
        }
    }
    if (fsync(temp->fd.get()) != 0) return fail();
    if (temp->fd.close() != 0) return fail();
    int renamed = replace ? ::rename(temp->path.c_str(), target.c_str())
                          : renameat2(AT_FDCWD, temp->path.c_str(), AT_FDCWD, target.c_str(),
                                      RENAME_NOREPLACE);
    if (renamed != 0 && !replace && errno == EINVAL) {
        // The file system cannot rename without replacing; a hard link refuses an existing
        // name just the same.
        renamed = ::link(temp->path.c_str(), target.c_str());
        if (renamed == 0) unlink(temp->path.c_str());
    }
    if (renamed != 0) return fail();
    syncDirectory(deletingLastPathComponent(target));
    return true;
}

// The names inside a directory, read whole so that no directory stays open while a walk goes
// deeper. False with errno set when it cannot be read.
bool directoryNames(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    UniqueDir dir(opendir(path.c_str()));
    if (!dir) return false;
    errno = 0;
    while (dirent* entry = readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(std::move(name));
        errno = 0;
    }
    return errno == 0;
}

// The target of a symbolic link; a target that grew past the buffer is read again, larger.
Expected<std::string> linkTarget(const std::string& path, size_t sizeHint) {
    std::vector<char> buffer(std::max<size_t>(sizeHint, 255) + 1);
    for (;;) {
        ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
        if (n < 0) return failed(errno);
        // A result that fills the buffer may have been cut: only a shorter one is whole.
        if (static_cast<size_t>(n) < buffer.size())
            return std::string(buffer.data(), static_cast<size_t>(n));
        if (buffer.size() > 1024 * 1024) return failed(ENAMETOOLONG);
        buffer.resize(buffer.size() * 2);
    }
}

// Copies one item that is not a directory. `made` turns true once `destination` exists.
FileStatus copyLeaf(const std::string& source, const std::string& destination,
                    const struct stat& st, bool& made, std::vector<char>& buffer) {
    if (S_ISLNK(st.st_mode)) {
        auto link = linkTarget(source, static_cast<size_t>(std::max<off_t>(st.st_size, 0)));
        if (!link) return failure(link.error().message);
        if (symlink(link->c_str(), destination.c_str()) != 0) return errnoFailure(errno);
        made = true;
        return FileStatus();
    }
    if (!S_ISREG(st.st_mode)) return errnoFailure(ENOTSUP);
    raii::UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!in) return errnoFailure(errno);
    raii::UniqueFd out(::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!out) return errnoFailure(errno);
    made = true;
    for (;;) {
        ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errnoFailure(errno);
        }
        if (n == 0) break;
        if (!writeAll(out.get(), std::string_view(buffer.data(), static_cast<size_t>(n))))
            return errnoFailure(errno);
    }
    if (fchmod(out.get(), st.st_mode & 07777) != 0) return errnoFailure(errno);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    futimens(out.get(), times);
    if (out.close() != 0) return errnoFailure(errno);
    return FileStatus();
}

// Copies one item and what is inside it, depth first with an explicit stack, so the depth of
// the tree costs heap, not stack. `made` turns true once `destination` itself exists, so the
// caller knows whether there is a half-made copy to take away.
FileStatus copyTree(const std::string& source, const std::string& destination,
                    const struct stat& st, bool& made) {
    std::vector<char> buffer(131072);
    if (!S_ISDIR(st.st_mode)) return copyLeaf(source, destination, st, made, buffer);

    struct Level {
        std::string from, to;
        struct stat st;
        std::vector<std::string> names;
        size_t next = 0;
    };
    std::vector<Level> stack;
    // Owner-only until filled, so a read-only source directory can still be filled.
    auto enter = [&](const std::string& from, const std::string& to,
                     const struct stat& dirStat) -> FileStatus {
        if (mkdir(to.c_str(), 0700) != 0) return errnoFailure(errno);
        stack.push_back({from, to, dirStat, {}, 0});
        if (!directoryNames(from, stack.back().names)) return errnoFailure(errno);
        return FileStatus();
    };
    auto first = enter(source, destination, st);
    made = !stack.empty();
    if (!first.hasValue()) return first;
    while (!stack.empty()) {
        Level& level = stack.back();
        if (level.next == level.names.size()) {
            if (chmod(level.to.c_str(), level.st.st_mode & 07777) != 0) return errnoFailure(errno);
            const timespec times[2] = {level.st.st_atim, level.st.st_mtim};
            utimensat(AT_FDCWD, level.to.c_str(), times, 0);
            stack.pop_back();
            continue;
        }
        const std::string& name = level.names[level.next++];
        std::string from = level.from + "/" + name;
        std::string to = level.to + "/" + name;
        struct stat child {};
        if (lstat(from.c_str(), &child) != 0) return errnoFailure(errno);
        bool inner = false;
        auto status = S_ISDIR(child.st_mode) ? enter(from, to, child)
                                             : copyLeaf(from, to, child, inner, buffer);
        if (!status.hasValue()) return status;
    }
    return FileStatus();
}

// Removes the item, a directory with everything inside it, without following links and
// without deep recursion: each directory is emptied of its files, its folders are taken one
// after the other, then it goes itself.
FileStatus removeTree(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return errnoFailure(errno);
    if (!S_ISDIR(st.st_mode)) {
        if (unlink(path.c_str()) != 0) return errnoFailure(errno);
        return FileStatus();
    }
    struct Level {
        std::string path;
        bool emptied = false;
    };
    std::vector<Level> stack{{path, false}};
    std::vector<std::string> names;
    while (!stack.empty()) {
        if (stack.back().emptied) {
            if (rmdir(stack.back().path.c_str()) != 0) return errnoFailure(errno);
            stack.pop_back();
            continue;
        }
        std::string dir = stack.back().path;
        stack.back().emptied = true;
        if (!directoryNames(dir, names)) return errnoFailure(errno);
        for (const auto& name : names) {
            std::string item = dir + "/" + name;
            struct stat child {};
            if (lstat(item.c_str(), &child) != 0) {
                if (errno == ENOENT) continue;  // gone already
                return errnoFailure(errno);
            }
            if (S_ISDIR(child.st_mode))
                stack.push_back({std::move(item), false});
            else if (unlink(item.c_str()) != 0 && errno != ENOENT)
                return errnoFailure(errno);
        }
    }
    return FileStatus();
}

// Whether the process may give a new file the owner and group of `st`: root may; anyone else
// only keeps their own user and one of their groups.
bool canKeepOwner(const struct stat& st) {
    uid_t me = geteuid();
    if (me == 0) return true;
    if (st.st_uid != me) return false;
    if (st.st_gid == getegid()) return true;
    std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
    int count = getgroups(static_cast<int>(groups.size()), groups.data());
    return count > 0 &&
           std::find(groups.begin(), groups.begin() + count, st.st_gid) != groups.begin() + count;
}

// Extended attributes (ACLs among them) that a new file would not carry over. The security
// namespace is left aside: labels are given to new files by the system, and capabilities are
// cleared by any write.
bool hasCarriedAttributes(int fd) {
    ssize_t size = flistxattr(fd, nullptr, 0);
    if (size <= 0) return false;
    std::vector<char> names(static_cast<size_t>(size));
    size = flistxattr(fd, names.data(), names.size());
    if (size <= 0) return size < 0;  // changed meanwhile: keep it in place to be safe
    for (size_t at = 0; at < static_cast<size_t>(size);) {
        std::string_view name(names.data() + at);
        if (name.rfind("security.", 0) != 0) return true;
        at += name.size() + 1;
    }
    return false;
}

// Replacing by a new file and a rename keeps the old content whole on failure, but only where
// nothing of the old file is lost: its folder takes new names, no other name (hard link) shares
// it, the new file can have its owner, and it carries no extended attributes or ACLs.
bool replaceableByRename(const std::string& target, int fd, const struct stat& st) {
    if (st.st_nlink != 1 || !canKeepOwner(st) || hasCarriedAttributes(fd)) return false;
    std::string dir = deletingLastPathComponent(target);
    return faccessat(AT_FDCWD, dir.empty() ? "." : dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

std::string canonical(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved) return path;
    std::string out = resolved;
    free(resolved);  // realpath's buffer comes from malloc
    return out;
}

}  // namespace

Expected<EntryRecord> attributes(const std::string& path) {
    struct statx sx {};
    const unsigned mask = STATX_TYPE | STATX_MODE | STATX_SIZE;
    if (statx(AT_FDCWD, path.c_str(), 0, mask, &sx) != 0) {
        int error = errno;
        // A dangling link is still an item of its folder.
        if (error != ENOENT || statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, mask, &sx) != 0)
            return failed(error);
    }
    EntryRecord entry;
    entry.name = lastPathComponent(path);
    entry.directory = S_ISDIR(sx.stx_mode);
    entry.size = entry.directory ? 0 : sx.stx_size;
    entry.readable = faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) == 0;
    entry.writable = faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
    entry.deletable = !((sx.stx_attributes_mask & STATX_ATTR_IMMUTABLE) &&
                        (sx.stx_attributes & STATX_ATTR_IMMUTABLE));
    return entry;
}

Expected<std::vector<EntryRecord>> listDirectory(const std::string& directory,
                                                 std::string_view excludedExtension) {
    UniqueDir dir(opendir(directory.c_str()));
    if (!dir) return failed(errno);
    std::vector<std::string> names;
    errno = 0;
    while (dirent* entry = readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(std::move(name));
        errno = 0;
    }
    if (errno != 0) return failed(errno);
    std::sort(names.begin(), names.end());
    std::string base = withTrailingSlash(directory);
    std::vector<EntryRecord> entries;
    for (auto& name : names) {
        if (!excludedExtension.empty() &&
            equalsIgnoringCase(pathExtension(name), excludedExtension))
            continue;
        auto record = attributes(base + name);
        if (record) entries.push_back(std::move(*record));
    }
    return entries;
}

FileStatus makeDirectory(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? FileStatus() : errnoFailure(EEXIST);
    // The missing folders, deepest first; then made from the top down.
    std::vector<std::string> missing{path};
    for (std::string parent = deletingLastPathComponent(path);
         !parent.empty() && parent != missing.back() && stat(parent.c_str(), &st) != 0;
         parent = deletingLastPathComponent(parent))
        missing.push_back(parent);
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (mkdir(it->c_str(), 0777) != 0 && errno != EEXIST) return errnoFailure(errno);
    }
    if (stat(path.c_str(), &st) != 0) return errnoFailure(errno);
    return S_ISDIR(st.st_mode) ? FileStatus() : errnoFailure(EEXIST);
}

FileStatus removeItem(const std::string& path) {
    return removeTree(path);
}

FileStatus copyItem(const std::string& source, const std::string& destination) {
    struct stat st {};
    if (lstat(source.c_str(), &st) != 0) return errnoFailure(errno);
    if (exists(destination)) return errnoFailure(EEXIST);
    if (S_ISDIR(st.st_mode)) {
        // Copying a folder into itself would never end.
        std::string from = canonical(source) + "/";
        std::string parent = deletingLastPathComponent(destination);
        std::string to = canonical(parent.empty() ? "." : parent) + "/";
        if (to.rfind(from, 0) == 0) return errnoFailure(EINVAL);
    }
    bool made = false;
    auto status = copyTree(source, destination, st, made);
    if (!status.hasValue() && made) {
        // The top item was made exclusively by this copy, so taking it away again cannot
        // touch anything that was there before.
        removeTree(destination);
    }
    return status;
}

FileStatus moveItem(const std::string& source, const std::string& destination) {
    if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0)
        return FileStatus();
    int error = errno;
    if (error == EINVAL) {
        // Not every file system can refuse to replace while renaming.
        struct stat st {};
        if (lstat(source.c_str(), &st) != 0) return errnoFailure(errno);
        if (exists(destination)) return errnoFailure(EEXIST);
        if (::rename(source.c_str(), destination.c_str()) == 0) return FileStatus();
        error = errno;
    }
    if (error != EXDEV) return errnoFailure(error);
    if (auto status = copyItem(source, destination); !status.hasValue()) return status;
    return removeItem(source);
}

Expected<std::string> readWhole(const std::string& path) {
    auto fd = openRegularFile(path);
    if (!fd) return Unexpected(fd.error());
    std::string out;
    struct stat st {};
    if (fstat(fd->get(), &st) == 0) out.reserve(static_cast<size_t>(st.st_size));
    if (!readAll(fd->get(), out, SIZE_MAX)) return failed(errno);
    return out;
}

Expected<std::string> readRange(const std::string& path, int64_t offset, int64_t length) {
    auto fd = openRegularFile(path);
    if (!fd) return Unexpected(fd.error());
    if (offset < 0) return failed(EINVAL);
    if (lseek(fd->get(), static_cast<off_t>(offset), SEEK_SET) < 0) return failed(errno);
    std::string out;
    if (length > 0 && !readAll(fd->get(), out, static_cast<size_t>(length))) return failed(errno);
    return out;
}

Expected<std::string> readText(const std::string& path) {
    auto content = readWhole(path);
    if (content && !bridge::isValidUtf8(*content))
        return failure("The file is not valid UTF-8 text.");
    return content;
}

FileStatus writeFile(const std::string& path, std::string_view bytes, bool append) {
    // Write through a link to the file it names, so the link survives the replacement.
    std::string target = path;
    struct stat link {};
    if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        if (char* resolved = realpath(path.c_str(), nullptr)) {
            target = resolved;
            free(resolved);  // realpath's buffer comes from malloc
        }
    }
    // Non-blocking open: a pipe with nobody reading must not hang the calling thread.
    raii::UniqueFd fd(::open(
        target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (append ? O_APPEND : 0)));
    if (fd) fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    if (!fd) {
        // Missing or not writable: make it, but never in place of an item that is there.
        mode_t mode = 0666 & ~currentUmask();
        if (!writeBeside(target, bytes, mode, nullptr, false)) return failure(kCreateFailed);
        return FileStatus();
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) return errnoFailure(errno);
    if (append) {
        if (!writeAll(fd.get(), bytes)) {
            int error = errno;
            // Leave the file as it was rather than with half an append.
            if (S_ISREG(st.st_mode) && ftruncate(fd.get(), st.st_size) != 0) {
            }
            return errnoFailure(error);
        }
        if (fd.close() != 0) return errnoFailure(errno);
        return FileStatus();
    }
    if (!S_ISREG(st.st_mode)) {
        // A device or pipe cannot be replaced; it takes the bytes as they come.
        if (!writeAll(fd.get(), bytes)) return errnoFailure(errno);
        if (fd.close() != 0) return errnoFailure(errno);
        return FileStatus();
    }
    if (replaceableByRename(target, fd.get(), st)) {
        fd.reset();
        if (!writeBeside(target, bytes, st.st_mode & 07777, &st, true)) return errnoFailure(errno);
        return FileStatus();
    }
    // In place: cut, then write. The file keeps its links, owner, attributes and ACLs.
    if (ftruncate(fd.get(), 0) != 0 || !writeAll(fd.get(), bytes)) return errnoFailure(errno);
    if (fd.close() != 0) return errnoFailure(errno);
    return FileStatus();
}

}  // namespace lumetta::files
