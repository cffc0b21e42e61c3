#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>

#include "files/FileOperations.h"
#include "files/TestHome.h"

namespace lumetta::files {
namespace {

using test::fileContent;
using test::putFile;
using test::ScratchDir;

std::vector<std::string> names(const std::vector<EntryRecord>& entries) {
    std::vector<std::string> out;
    for (auto& e : entries) out.push_back(e.name);
    return out;
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

size_t itemCount(const std::string& dir) {
    size_t n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir)) ++n;
    return n;
}

TEST(Attributes, MissingPathGivesThePlatformsDescription) {
    ScratchDir dir;
    auto record = attributes(dir / "missing");
    EXPECT_FALSE(record.hasValue());
    EXPECT_EQ(record.error().message, "No such file or directory");
}

TEST(Attributes, DirectoryHasSizeZeroAndIsADirectory) {
    ScratchDir dir;
    auto record = attributes(dir.path());
    ASSERT_TRUE(record.hasValue()) << record.error().message;
    EXPECT_EQ(record->size, 0u);
    EXPECT_TRUE(record->directory);
    EXPECT_TRUE(record->readable);
    EXPECT_TRUE(record->writable);
    EXPECT_TRUE(record->deletable);
}

TEST(Attributes, FileRecordHasItsNameAndSizeAndExactlyTheSixKeys) {
    ScratchDir dir;
    putFile(dir / "take.wav", "12345");
    auto record = attributes(dir / "take.wav");
    ASSERT_TRUE(record.hasValue());
    auto json = toJson(*record);
    EXPECT_EQ(json["name"], "take.wav");
    EXPECT_EQ(json["size"], 5);
    EXPECT_EQ(json["directory"], false);
    EXPECT_EQ(json.size(), 6u);
    for (auto key : {"name", "size", "directory", "readable", "writable", "deletable"})
        EXPECT_TRUE(json.contains(key)) << key;
}

TEST(ListDirectory, ExtensionArgumentLeavesMatchingItemsOutWithoutRegardToCase) {
    ScratchDir dir;
    for (auto name : {"a.wav", "b.WAV", "c.txt", ".hidden", "wav"}) putFile(dir / name, "x");
    auto listing = listDirectory(dir.path(), "wav");
    ASSERT_TRUE(listing.hasValue());
    EXPECT_EQ(names(*listing), (std::vector<std::string>{".hidden", "c.txt", "wav"}));
    auto all = listDirectory(dir.path(), "");
    ASSERT_TRUE(all.hasValue());
    EXPECT_EQ(names(*all), (std::vector<std::string>{".hidden", "a.wav", "b.WAV", "c.txt", "wav"}));
}

TEST(ListDirectory, MissingDirectoryFailsAndDanglingLinksAreStillListed) {
    ScratchDir dir;
    EXPECT_EQ(listDirectory(dir / "nope", "").error().message, "No such file or directory");
    ASSERT_EQ(symlink((dir / "gone").c_str(), (dir / "link").c_str()), 0);
    auto listing = listDirectory(dir.path(), "");
    ASSERT_TRUE(listing.hasValue());
    EXPECT_EQ(names(*listing), std::vector<std::string>{"link"});
}

TEST(MakeDirectory, ExistingDirectorySucceedsAndParentsAreMade) {
    ScratchDir dir;
    EXPECT_TRUE(makeDirectory(dir.path()).hasValue());
    EXPECT_TRUE(makeDirectory(dir / "a/b/c").hasValue());
    EXPECT_TRUE(std::filesystem::is_directory(dir / "a/b/c"));
    putFile(dir / "file", "x");
    auto status = makeDirectory(dir / "file");
    EXPECT_FALSE(status.hasValue());
    EXPECT_EQ(status.error().message, "File exists");
}

TEST(RemoveItem, RemovesAFolderWithItsContentsAndFailsForAMissingItem) {
    ScratchDir dir;
    makeDirectory(dir / "a/b");
    putFile(dir / "a/b/f", "x");
    EXPECT_TRUE(removeItem(dir / "a").hasValue());
    EXPECT_FALSE(std::filesystem::exists(dir / "a"));
    EXPECT_EQ(removeItem(dir / "a").error().message, "No such file or directory");
}

TEST(RemoveItem, ALinkToAFolderIsRemovedNotFollowed) {
    ScratchDir dir;
    makeDirectory(dir / "real");
    putFile(dir / "real/keep", "x");
    ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
    EXPECT_TRUE(removeItem(dir / "link").hasValue());
    EXPECT_EQ(fileContent(dir / "real/keep"), "x");
}

TEST(CopyItem, CopiesAFolderWithItsContentsModesAndLinks) {
    ScratchDir dir;
    makeDirectory(dir / "src/sub");
    putFile(dir / "src/sub/f", "data");
    chmod((dir / "src/sub/f").c_str(), 0640);
    ASSERT_EQ(symlink("sub/f", (dir / "src/link").c_str()), 0);
    ASSERT_TRUE(copyItem(dir / "src", dir / "dst").hasValue());
    EXPECT_EQ(fileContent(dir / "dst/sub/f"), "data");
    EXPECT_EQ(modeOf(dir / "dst/sub/f"), 0640u);
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "dst/link"));
    EXPECT_EQ(fileContent(dir / "dst/link"), "data");
}

TEST(CopyItem, ExistingDestinationFailsAndLeavesBothAsTheyWere) {
    ScratchDir dir;
    putFile(dir / "a", "source");
    putFile(dir / "b", "destination");
    auto status = copyItem(dir / "a", dir / "b");
    EXPECT_FALSE(status.hasValue());
    EXPECT_EQ(status.error().message, "File exists");
    EXPECT_EQ(fileContent(dir / "a"), "source");
    EXPECT_EQ(fileContent(dir / "b"), "destination");
    makeDirectory(dir / "d1");
    makeDirectory(dir / "d2");
    putFile(dir / "d2/keep", "k");
    EXPECT_FALSE(copyItem(dir / "d1", dir / "d2").hasValue());
    EXPECT_EQ(fileContent(dir / "d2/keep"), "k");
}

TEST(CopyItem, FolderIntoItselfIsRefusedAndCreatesNothing) {
    ScratchDir dir;
    makeDirectory(dir / "a");
    putFile(dir / "a/f", "x");
    EXPECT_FALSE(copyItem(dir / "a", dir / "a/inner").hasValue());
    EXPECT_EQ(itemCount(dir / "a"), 1u);
}

TEST(CopyItem, CopyThatFailsPartWayLeavesNoHalfCopy) {
    ScratchDir dir;
    makeDirectory(dir / "src");
    putFile(dir / "src/a", "x");
    ASSERT_EQ(mkfifo((dir / "src/pipe").c_str(), 0600), 0);  // cannot be copied
    EXPECT_FALSE(copyItem(dir / "src", dir / "dst").hasValue());
    EXPECT_FALSE(std::filesystem::exists(dir / "dst"));
    EXPECT_EQ(fileContent(dir / "src/a"), "x");
}

TEST(MoveItem, MovesAndRefusesAnExistingDestination) {
    ScratchDir dir;
    putFile(dir / "a", "A");
    putFile(dir / "b", "B");
    EXPECT_FALSE(moveItem(dir / "a", dir / "b").hasValue());
    EXPECT_EQ(fileContent(dir / "a"), "A");
    EXPECT_EQ(fileContent(dir / "b"), "B");
    EXPECT_TRUE(moveItem(dir / "a", dir / "c").hasValue());
    EXPECT_EQ(fileContent(dir / "c"), "A");
    EXPECT_FALSE(std::filesystem::exists(dir / "a"));
    EXPECT_EQ(moveItem(dir / "a", dir / "d").error().message, "No such file or directory");
}

TEST(ReadRange, ReadsFromTheOffsetAndStopsAtTheEnd) {
    ScratchDir dir;
    putFile(dir / "f", std::string("\x00\x01\x02\x03\x04\x05", 6));
    EXPECT_EQ(*readRange(dir / "f", 2, 3), std::string("\x02\x03\x04", 3));
    EXPECT_EQ(*readRange(dir / "f", 4, 100), std::string("\x04\x05", 2));
    EXPECT_EQ(*readRange(dir / "f", 0, 0), "");
    EXPECT_EQ(*readRange(dir / "f", 10, 4), "");
    EXPECT_FALSE(readRange(dir / "f", -1, 4).hasValue());
    EXPECT_EQ(readRange(dir / "missing", 0, 1).error().message, "No such file or directory");
}

TEST(ReadText, InvalidUtf8Fails) {
    ScratchDir dir;
    putFile(dir / "bad", "ab\xff");
    putFile(dir / "good", "gr\xC3\xBC\xC3\x9F");
    EXPECT_FALSE(readText(dir / "bad").hasValue());
    EXPECT_EQ(*readText(dir / "good"), "gr\xC3\xBC\xC3\x9F");
    EXPECT_FALSE(readWhole(dir.path()).hasValue());  // a folder is not a file
}

TEST(WriteFile, ReplacingALongerFileLeavesExactlyTheNewContentAndItsMode) {
    ScratchDir dir;
    putFile(dir / "f", "a much longer old content");
    chmod((dir / "f").c_str(), 0604);
    ASSERT_TRUE(writeFile(dir / "f", "new", false).hasValue());
    EXPECT_EQ(fileContent(dir / "f"), "new");
    EXPECT_EQ(modeOf(dir / "f"), 0604u);
    EXPECT_EQ(itemCount(dir.path()), 1u) << "no temporary file may be left behind";
}

TEST(WriteFile, AppendToAMissingFileCreatesItAndAppendAppends) {
    ScratchDir dir;
    ASSERT_TRUE(writeFile(dir / "f", "one", true).hasValue());
    ASSERT_TRUE(writeFile(dir / "f", "two", true).hasValue());
    EXPECT_EQ(fileContent(dir / "f"), "onetwo");
}

TEST(WriteFile, MissingParentFailsWithTheCreateReason) {
    ScratchDir dir;
    auto status = writeFile(dir / "no/such/f", "x", false);
    EXPECT_FALSE(status.hasValue());
    EXPECT_EQ(status.error().message, "Failed to create file.");
    EXPECT_EQ(writeFile(dir / "no/f", "x", true).error().message, "Failed to create file.");
}

TEST(WriteFile, EmptyContentMakesAnEmptyFile) {
    ScratchDir dir;
    putFile(dir / "f", "old");
    ASSERT_TRUE(writeFile(dir / "f", "", false).hasValue());
    EXPECT_EQ(fileContent(dir / "f"), "");
}

TEST(WriteFile, ALinkKeepsPointingAtTheRewrittenFile) {
    ScratchDir dir;
    putFile(dir / "real", "old");
    ASSERT_EQ(symlink("real", (dir / "link").c_str()), 0);
    ASSERT_TRUE(writeFile(dir / "link", "new", false).hasValue());
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link"));
    EXPECT_EQ(fileContent(dir / "real"), "new");
}

TEST(WriteFile, AFolderInThePlaceOfTheFileIsNeverReplaced) {
    ScratchDir dir;
    makeDirectory(dir / "d");
    putFile(dir / "d/keep", "k");
    EXPECT_EQ(writeFile(dir / "d", "x", false).error().message, "Failed to create file.");
    EXPECT_EQ(fileContent(dir / "d/keep"), "k");
}

TEST(WriteFile, AWriteThatFailsPartWayLeavesTheOldFileWhole) {
    // A file-size limit makes the kernel refuse the write in the middle of the new content.
    ScratchDir dir;
    std::string old(8192, 'o');
    putFile(dir / "f", old);
    auto previous = signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 16384;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    auto status = writeFile(dir / "f", std::string(65536, 'n'), false);
    auto appended = writeFile(dir / "f", std::string(65536, 'n'), true);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_FALSE(status.hasValue());
    EXPECT_EQ(status.error().message, "File too large");
    EXPECT_FALSE(appended.hasValue());
    EXPECT_EQ(fileContent(dir / "f"), old);
    EXPECT_EQ(itemCount(dir.path()), 1u) << "the half-written file must be gone";
}

// Runs `body` in a child process with its own mount namespace and a 64 KiB tmpfs; the child's
// exit code is the test's verdict (0 passes, 77 means this machine cannot do it).
int inPrivateTmpfs(const std::function<int(const std::string& mount)>& body) {
    pid_t child = fork();
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0) _exit(77);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(77);
        char pattern[] = "/tmp/lumetta-tmpfs-XXXXXX";
        if (!mkdtemp(pattern)) _exit(77);
        if (mount("tmpfs", pattern, "tmpfs", 0, "size=64k,mode=0755") != 0) _exit(77);
        int verdict = body(pattern);
        umount(pattern);
        rmdir(pattern);
        _exit(verdict);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

TEST(WriteFile, AFullTargetLeavesTheOldFileWhole) {
    int verdict = inPrivateTmpfs([](const std::string& mount) {
        std::string path = mount + "/f";
        putFile(path, std::string(20000, 'o'));
        auto status = writeFile(path, std::string(60000, 'n'), false);
        if (status.hasValue()) return 1;
        if (status.error().message != "No space left on device") return 2;
        if (fileContent(path) != std::string(20000, 'o')) return 3;
        if (itemCount(mount) != 1) return 4;
        return 0;
    });
    if (verdict == 77) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(verdict, 0)
        << "1: reported success, 2: wrong reason, 3: old file damaged, 4: leftovers";
}

TEST(WriteFile, AReadOnlyFolderLeavesTheOldFileWhole) {
    // Root ignores permission bits, so the folder is made read-only the way root cannot
    // ignore: a read-only mount.
    int verdict = inPrivateTmpfs([](const std::string& mount) {
        std::string path = mount + "/f";
        putFile(path, "old");
        if (::mount(nullptr, mount.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
            return 77;
        auto status = writeFile(path, "new content", false);
        if (status.hasValue()) return 1;
        if (fileContent(path) != "old") return 3;
        if (writeFile(mount + "/other", "x", false).error().message != kCreateFailed) return 2;
        return 0;
    });
    if (verdict == 77) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(verdict, 0) << "1: reported success, 2: wrong reason, 3: old file damaged";
}

void run(const std::string& command) {
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

void setAge(const std::string& path, time_t when) {
    timespec times[2] = {{when, 0}, {when, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

TEST(Unzip, ExtractsMissingFilesAndKeepsFilesNewerThanTheArchives) {
    ScratchDir dir;
    makeDirectory(dir / "src/sub");
    putFile(dir / "src/newer.txt", "from archive");
    putFile(dir / "src/older.txt", "from archive");
    putFile(dir / "src/sub/missing.txt", "from archive");
    time_t now = time(nullptr);
    for (auto name : {"src/newer.txt", "src/older.txt", "src/sub/missing.txt"})
        setAge(dir / name, now - 3600);
    run("cd '" + dir / "src" + "' && zip -q -r ../archive.zip .");
    makeDirectory(dir / "out");
    putFile(dir / "out/newer.txt", "edited later");
    setAge(dir / "out/newer.txt", now);
    putFile(dir / "out/older.txt", "stale");
    setAge(dir / "out/older.txt", now - 7200);

    auto status = unzip(dir / "archive.zip", dir / "out");
    ASSERT_TRUE(status.hasValue()) << status.error().message;
    EXPECT_EQ(fileContent(dir / "out/newer.txt"), "edited later");
    EXPECT_EQ(fileContent(dir / "out/older.txt"), "from archive");
    EXPECT_EQ(fileContent(dir / "out/sub/missing.txt"), "from archive");
}

TEST(Unzip, ABrokenArchiveFailsWithTheFixedReason) {
    ScratchDir dir;
    putFile(dir / "bad.zip", "this is not a zip archive");
    auto status = unzip(dir / "bad.zip", dir / "out");
    EXPECT_FALSE(status.hasValue());
    EXPECT_EQ(status.error().message, "unzip failed.");
    EXPECT_EQ(unzip(dir / "missing.zip", dir / "out").error().message, "unzip failed.");
}

}  // namespace
}  // namespace lumetta::files

namespace lumetta::files {
namespace {

TEST(WriteFile, APipeWithoutAReaderFailsAtOnceInsteadOfHanging) {
    test::ScratchDir dir;
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    EXPECT_EQ(writeFile(dir / "pipe", "x", false).error().message, kCreateFailed);
    struct stat st {};
    ASSERT_EQ(lstat((dir / "pipe").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the pipe must not be replaced by a file";
}

}  // namespace
}  // namespace lumetta::files

namespace lumetta::files {
namespace {

// ---- deep trees ---------------------------------------------------------------------------------

constexpr int kDeep = 1000;

// A chain of `levels` folders named d under `root`, a file at every hundredth level and one at
// the bottom. Returns the bottom folder.
std::string makeDeepTree(const std::string& root, int levels) {
    std::string path = root;
    EXPECT_EQ(mkdir(path.c_str(), 0755), 0);
    for (int i = 1; i <= levels; ++i) {
        path += "/d";
        EXPECT_EQ(mkdir(path.c_str(), 0755), 0) << "level " << i;
        if (i % 100 == 0) test::putFile(path + "/at", std::to_string(i));
    }
    test::putFile(path + "/leaf", "bottom");
    return path;
}

// The same chain under another root, checked level by level.
bool isWholeDeepTree(const std::string& root, int levels) {
    std::string path = root;
    for (int i = 1; i <= levels; ++i) {
        path += "/d";
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
        if (i % 100 == 0 && test::fileContent(path + "/at") != std::to_string(i)) return false;
    }
    return test::fileContent(path + "/leaf") == "bottom";
}

TEST(DeepTree, AThousandLevelFolderIsCopiedWhole) {
    test::ScratchDir dir;
    makeDeepTree(dir / "tree", kDeep);
    auto status = copyItem(dir / "tree", dir / "copy");
    ASSERT_TRUE(status.hasValue()) << status.error().message;
    EXPECT_TRUE(isWholeDeepTree(dir / "copy", kDeep));
    EXPECT_TRUE(isWholeDeepTree(dir / "tree", kDeep));
    EXPECT_TRUE(removeItem(dir / "copy").hasValue());
    EXPECT_TRUE(removeItem(dir / "tree").hasValue());
    EXPECT_FALSE(std::filesystem::exists(dir / "tree"));
}

TEST(DeepTree, AThousandLevelFolderIsMovedWholeToAnotherFileSystem) {
    test::ScratchDir dir;
    char pattern[] = "/dev/shm/lumetta-deep-XXXXXX";
    if (!mkdtemp(pattern)) GTEST_SKIP() << "no /dev/shm here";
    std::string other = pattern;
    struct stat here {
    }, there{};
    stat(dir.path().c_str(), &here);
    stat(other.c_str(), &there);
    if (here.st_dev == there.st_dev) {
        rmdir(other.c_str());
        GTEST_SKIP() << "/dev/shm is not another file system here";
    }
    makeDeepTree(dir / "tree", kDeep);
    auto status = moveItem(dir / "tree", other + "/moved");
    EXPECT_TRUE(status.hasValue()) << status.error().message;
    EXPECT_TRUE(isWholeDeepTree(other + "/moved", kDeep));
    EXPECT_FALSE(std::filesystem::exists(dir / "tree")) << "the source goes once copied";
    EXPECT_TRUE(removeItem(other).hasValue());
}

TEST(DeepTree, MakeDirectoryMakesAThousandMissingParents) {
    test::ScratchDir dir;
    std::string path = dir / "m";
    for (int i = 0; i < kDeep; ++i) path += "/d";
    ASSERT_TRUE(makeDirectory(path).hasValue());
    EXPECT_TRUE(std::filesystem::is_directory(path));
    EXPECT_TRUE(removeItem(dir / "m").hasValue());
}

TEST(CopyItem, ALongLinkTargetIsCopiedWhole) {
    test::ScratchDir dir;
    makeDirectory(dir / "src");
    std::string target(3000, 'x');
    ASSERT_EQ(symlink(target.c_str(), (dir / "src/link").c_str()), 0);
    ASSERT_TRUE(copyItem(dir / "src", dir / "dst").hasValue());
    char buffer[4096];
    ssize_t n = readlink((dir / "dst/link").c_str(), buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0))), target);
}

// ---- replacing in place where a rename would lose something -------------------------------------

TEST(WriteFile, AHardLinkedFileKeepsItsLink) {
    test::ScratchDir dir;
    test::putFile(dir / "a", "old content");
    ASSERT_EQ(link((dir / "a").c_str(), (dir / "b").c_str()), 0);
    struct stat before {};
    stat((dir / "a").c_str(), &before);
    ASSERT_TRUE(writeFile(dir / "a", "new", false).hasValue());
    EXPECT_EQ(test::fileContent(dir / "b"), "new") << "both names still name one file";
    struct stat after {};
    stat((dir / "a").c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_nlink, 2u);
}

TEST(WriteFile, AFileWithExtendedAttributesKeepsThem) {
    test::ScratchDir dir;
    test::putFile(dir / "f", "old content");
    if (setxattr((dir / "f").c_str(), "user.lumetta", "kept", 4, 0) != 0)
        GTEST_SKIP() << "no user extended attributes on this file system";
    ASSERT_TRUE(writeFile(dir / "f", "new", false).hasValue());
    EXPECT_EQ(test::fileContent(dir / "f"), "new");
    char value[16] = {};
    EXPECT_EQ(getxattr((dir / "f").c_str(), "user.lumetta", value, sizeof value), 4);
    EXPECT_STREQ(value, "kept");
}

TEST(WriteFile, AFileAloneInAWritableFolderIsStillReplacedWhole) {
    test::ScratchDir dir;
    test::putFile(dir / "f", "old content");
    struct stat before {};
    stat((dir / "f").c_str(), &before);
    ASSERT_TRUE(writeFile(dir / "f", "new", false).hasValue());
    EXPECT_EQ(test::fileContent(dir / "f"), "new");
    struct stat after {};
    stat((dir / "f").c_str(), &after);
    EXPECT_NE(after.st_ino, before.st_ino) << "a new file renamed into place";
}

// Runs `body` in a child process as user and group `id`; its exit code is the verdict.
int asUser(uid_t id, const std::function<int()>& body) {
    pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0) _exit(77);
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

// As user `id`, writes "new" to `file`: 0 when it then holds it, 1 when the write failed, 2 when
// the content is wrong, 77 when the user cannot be taken.
int writesNewAs(uid_t id, const std::string& file) {
    return asUser(id, [&] {
        if (!writeFile(file, "new", false).hasValue()) return 1;
        return test::fileContent(file) == "new" ? 0 : 2;
    });
}

// A folder every user can enter, outside the private test home.
struct SharedDir {
    SharedDir() {
        char pattern[] = "/tmp/lumetta-shared-XXXXXX";
        if (mkdtemp(pattern)) path = pattern;
        chmod(path.c_str(), 0755);
    }
    ~SharedDir() { removeItem(path); }
    std::string path;
};

TEST(WriteFile, AWritableFileInAReadOnlyFolderIsWrittenInPlace) {
    SharedDir shared;
    ASSERT_FALSE(shared.path.empty());
    std::string folder = shared.path + "/ro";
    std::string file = folder + "/f";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    test::putFile(file, "old content");
    if (geteuid() != 0) {
        chmod(folder.c_str(), 0555);
        auto status = writeFile(file, "new", false);
        chmod(folder.c_str(), 0755);
        EXPECT_TRUE(status.hasValue()) << status.error().message;
        EXPECT_EQ(test::fileContent(file), "new");
        return;
    }
    // Root writes any folder: the file is handed to another user, who cannot write the folder.
    const uid_t other = 65534;
    ASSERT_EQ(chown(file.c_str(), other, other), 0);
    int verdict = writesNewAs(other, file);
    ASSERT_NE(verdict, 77) << "cannot change user";
    EXPECT_EQ(verdict, 0) << "1: the write failed, 2: wrong content";
}

TEST(WriteFile, AnotherUsersFileInAStickyFolderIsWrittenInPlace) {
    if (geteuid() != 0) GTEST_SKIP() << "needs two users: run as root";
    SharedDir shared;
    ASSERT_FALSE(shared.path.empty());
    std::string folder = shared.path + "/sticky";
    std::string file = folder + "/f";
    ASSERT_EQ(mkdir(folder.c_str(), 0777), 0);
    chmod(folder.c_str(), 01777);
    test::putFile(file, "old content");
    chmod(file.c_str(), 0666);
    const uid_t owner = 65534, writer = 65533;
    ASSERT_EQ(chown(file.c_str(), owner, owner), 0);
    int verdict = writesNewAs(writer, file);
    ASSERT_NE(verdict, 77) << "cannot change user";
    EXPECT_EQ(verdict, 0) << "1: the write failed, 2: wrong content";
    struct stat st {};
    stat(file.c_str(), &st);
    EXPECT_EQ(st.st_uid, owner) << "the file is still its owner's";
}

// ---- reading what is not a regular file ---------------------------------------------------------

// Runs `read` with a hang guard: a read still waiting after the guard is released by opening
// the pipe's other end, and counts as a failure.
template <class Read>
void expectRefusedAtOnce(const std::string& fifo, Read read) {
    auto pending = std::async(std::launch::async, read);
    if (pending.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        ADD_FAILURE() << "the read waited on the pipe";
        if (writer >= 0) close(writer);
    }
    auto result = pending.get();
    EXPECT_FALSE(result.hasValue());
    EXPECT_EQ(result.error().message, kNotRegularFile);
}

TEST(ReadWhole, APipeIsRefusedWithoutWaitingForAWriter) {
    test::ScratchDir dir;
    std::string fifo = dir / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    expectRefusedAtOnce(fifo, [&] { return readWhole(fifo); });
    expectRefusedAtOnce(fifo, [&] { return readText(fifo); });
    expectRefusedAtOnce(fifo, [&] { return readRange(fifo, 0, 10); });
}

TEST(ReadWhole, ADeviceIsRefused) {
    for (const char* device : {"/dev/zero", "/dev/null"}) {
        auto whole = readWhole(device);
        EXPECT_FALSE(whole.hasValue()) << device;
        EXPECT_EQ(whole.error().message, kNotRegularFile) << device;
        auto range = readRange(device, 0, 4);
        EXPECT_EQ(range.error().message, kNotRegularFile) << device;
    }
}

TEST(ReadWhole, AFolderIsRefusedAsAFolder) {
    test::ScratchDir dir;
    EXPECT_EQ(readWhole(dir.path()).error().message, "Is a directory");
}

}  // namespace
}  // namespace lumetta::files
