#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>

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
    EXPECT_FALSE(record.value);
    EXPECT_EQ(record.error, "No such file or directory");
}

TEST(Attributes, DirectoryHasSizeZeroAndIsADirectory) {
    ScratchDir dir;
    auto record = attributes(dir.path());
    ASSERT_TRUE(record.value) << record.error;
    EXPECT_EQ(record.value->size, 0u);
    EXPECT_TRUE(record.value->directory);
    EXPECT_TRUE(record.value->readable);
    EXPECT_TRUE(record.value->writable);
    EXPECT_TRUE(record.value->deletable);
}

TEST(Attributes, FileRecordHasItsNameAndSizeAndExactlyTheSixKeys) {
    ScratchDir dir;
    putFile(dir / "take.wav", "12345");
    auto record = attributes(dir / "take.wav");
    ASSERT_TRUE(record.value);
    auto json = toJson(*record.value);
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
    ASSERT_TRUE(listing.value);
    EXPECT_EQ(names(*listing.value), (std::vector<std::string>{".hidden", "c.txt", "wav"}));
    auto all = listDirectory(dir.path(), "");
    ASSERT_TRUE(all.value);
    EXPECT_EQ(names(*all.value),
              (std::vector<std::string>{".hidden", "a.wav", "b.WAV", "c.txt", "wav"}));
}

TEST(ListDirectory, MissingDirectoryFailsAndDanglingLinksAreStillListed) {
    ScratchDir dir;
    EXPECT_EQ(listDirectory(dir / "nope", "").error, "No such file or directory");
    ASSERT_EQ(symlink((dir / "gone").c_str(), (dir / "link").c_str()), 0);
    auto listing = listDirectory(dir.path(), "");
    ASSERT_TRUE(listing.value);
    EXPECT_EQ(names(*listing.value), std::vector<std::string>{"link"});
}

TEST(MakeDirectory, ExistingDirectorySucceedsAndParentsAreMade) {
    ScratchDir dir;
    EXPECT_TRUE(makeDirectory(dir.path()).ok);
    EXPECT_TRUE(makeDirectory(dir / "a/b/c").ok);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "a/b/c"));
    putFile(dir / "file", "x");
    auto status = makeDirectory(dir / "file");
    EXPECT_FALSE(status.ok);
    EXPECT_EQ(status.error, "File exists");
}

TEST(RemoveItem, RemovesAFolderWithItsContentsAndFailsForAMissingItem) {
    ScratchDir dir;
    makeDirectory(dir / "a/b");
    putFile(dir / "a/b/f", "x");
    EXPECT_TRUE(removeItem(dir / "a").ok);
    EXPECT_FALSE(std::filesystem::exists(dir / "a"));
    EXPECT_EQ(removeItem(dir / "a").error, "No such file or directory");
}

TEST(RemoveItem, ALinkToAFolderIsRemovedNotFollowed) {
    ScratchDir dir;
    makeDirectory(dir / "real");
    putFile(dir / "real/keep", "x");
    ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
    EXPECT_TRUE(removeItem(dir / "link").ok);
    EXPECT_EQ(fileContent(dir / "real/keep"), "x");
}

TEST(CopyItem, CopiesAFolderWithItsContentsModesAndLinks) {
    ScratchDir dir;
    makeDirectory(dir / "src/sub");
    putFile(dir / "src/sub/f", "data");
    chmod((dir / "src/sub/f").c_str(), 0640);
    ASSERT_EQ(symlink("sub/f", (dir / "src/link").c_str()), 0);
    ASSERT_TRUE(copyItem(dir / "src", dir / "dst").ok);
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
    EXPECT_FALSE(status.ok);
    EXPECT_EQ(status.error, "File exists");
    EXPECT_EQ(fileContent(dir / "a"), "source");
    EXPECT_EQ(fileContent(dir / "b"), "destination");
    makeDirectory(dir / "d1");
    makeDirectory(dir / "d2");
    putFile(dir / "d2/keep", "k");
    EXPECT_FALSE(copyItem(dir / "d1", dir / "d2").ok);
    EXPECT_EQ(fileContent(dir / "d2/keep"), "k");
}

TEST(CopyItem, FolderIntoItselfIsRefusedAndCreatesNothing) {
    ScratchDir dir;
    makeDirectory(dir / "a");
    putFile(dir / "a/f", "x");
    EXPECT_FALSE(copyItem(dir / "a", dir / "a/inner").ok);
    EXPECT_EQ(itemCount(dir / "a"), 1u);
}

TEST(CopyItem, CopyThatFailsPartWayLeavesNoHalfCopy) {
    ScratchDir dir;
    makeDirectory(dir / "src");
    putFile(dir / "src/a", "x");
    ASSERT_EQ(mkfifo((dir / "src/pipe").c_str(), 0600), 0);  // cannot be copied
    EXPECT_FALSE(copyItem(dir / "src", dir / "dst").ok);
    EXPECT_FALSE(std::filesystem::exists(dir / "dst"));
    EXPECT_EQ(fileContent(dir / "src/a"), "x");
}

TEST(MoveItem, MovesAndRefusesAnExistingDestination) {
    ScratchDir dir;
    putFile(dir / "a", "A");
    putFile(dir / "b", "B");
    EXPECT_FALSE(moveItem(dir / "a", dir / "b").ok);
    EXPECT_EQ(fileContent(dir / "a"), "A");
    EXPECT_EQ(fileContent(dir / "b"), "B");
    EXPECT_TRUE(moveItem(dir / "a", dir / "c").ok);
    EXPECT_EQ(fileContent(dir / "c"), "A");
    EXPECT_FALSE(std::filesystem::exists(dir / "a"));
    EXPECT_EQ(moveItem(dir / "a", dir / "d").error, "No such file or directory");
}

TEST(ReadRange, ReadsFromTheOffsetAndStopsAtTheEnd) {
    ScratchDir dir;
    putFile(dir / "f", std::string("\x00\x01\x02\x03\x04\x05", 6));
    EXPECT_EQ(*readRange(dir / "f", 2, 3).value, std::string("\x02\x03\x04", 3));
    EXPECT_EQ(*readRange(dir / "f", 4, 100).value, std::string("\x04\x05", 2));
    EXPECT_EQ(*readRange(dir / "f", 0, 0).value, "");
    EXPECT_EQ(*readRange(dir / "f", 10, 4).value, "");
    EXPECT_FALSE(readRange(dir / "f", -1, 4).value);
    EXPECT_EQ(readRange(dir / "missing", 0, 1).error, "No such file or directory");
}

TEST(ReadText, InvalidUtf8Fails) {
    ScratchDir dir;
    putFile(dir / "bad", "ab\xff");
    putFile(dir / "good", "gr\xC3\xBC\xC3\x9F");
    EXPECT_FALSE(readText(dir / "bad").value);
    EXPECT_EQ(*readText(dir / "good").value, "gr\xC3\xBC\xC3\x9F");
    EXPECT_FALSE(readWhole(dir.path()).value);  // a folder is not a file
}

TEST(WriteFile, ReplacingALongerFileLeavesExactlyTheNewContentAndItsMode) {
    ScratchDir dir;
    putFile(dir / "f", "a much longer old content");
    chmod((dir / "f").c_str(), 0604);
    ASSERT_TRUE(writeFile(dir / "f", "new", false).ok);
    EXPECT_EQ(fileContent(dir / "f"), "new");
    EXPECT_EQ(modeOf(dir / "f"), 0604u);
    EXPECT_EQ(itemCount(dir.path()), 1u) << "no temporary file may be left behind";
}

TEST(WriteFile, AppendToAMissingFileCreatesItAndAppendAppends) {
    ScratchDir dir;
    ASSERT_TRUE(writeFile(dir / "f", "one", true).ok);
    ASSERT_TRUE(writeFile(dir / "f", "two", true).ok);
    EXPECT_EQ(fileContent(dir / "f"), "onetwo");
}

TEST(WriteFile, MissingParentFailsWithTheCreateReason) {
    ScratchDir dir;
    auto status = writeFile(dir / "no/such/f", "x", false);
    EXPECT_FALSE(status.ok);
    EXPECT_EQ(status.error, "Failed to create file.");
    EXPECT_EQ(writeFile(dir / "no/f", "x", true).error, "Failed to create file.");
}

TEST(WriteFile, EmptyContentMakesAnEmptyFile) {
    ScratchDir dir;
    putFile(dir / "f", "old");
    ASSERT_TRUE(writeFile(dir / "f", "", false).ok);
    EXPECT_EQ(fileContent(dir / "f"), "");
}

TEST(WriteFile, ALinkKeepsPointingAtTheRewrittenFile) {
    ScratchDir dir;
    putFile(dir / "real", "old");
    ASSERT_EQ(symlink("real", (dir / "link").c_str()), 0);
    ASSERT_TRUE(writeFile(dir / "link", "new", false).ok);
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link"));
    EXPECT_EQ(fileContent(dir / "real"), "new");
}

TEST(WriteFile, AFolderInThePlaceOfTheFileIsNeverReplaced) {
    ScratchDir dir;
    makeDirectory(dir / "d");
    putFile(dir / "d/keep", "k");
    EXPECT_EQ(writeFile(dir / "d", "x", false).error, "Failed to create file.");
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
    EXPECT_FALSE(status.ok);
    EXPECT_EQ(status.error, "File too large");
    EXPECT_FALSE(appended.ok);
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
        if (status.ok) return 1;
        if (status.error != "No space left on device") return 2;
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
        if (status.ok) return 1;
        if (fileContent(path) != "old") return 3;
        if (writeFile(mount + "/other", "x", false).error != kCreateFailed) return 2;
        return 0;
    });
    if (verdict == 77) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(verdict, 0) << "1: reported success, 2: wrong reason, 3: old file damaged";
}

TEST(WriteFile, AReadOnlyFolderByPermissionsLeavesTheOldFileWhole) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root ignores permission bits (see the read-only mount test)";
    ScratchDir dir;
    makeDirectory(dir / "ro");
    putFile(dir / "ro/f", "old");
    chmod((dir / "ro").c_str(), 0555);
    EXPECT_FALSE(writeFile(dir / "ro/f", "new", false).ok);
    EXPECT_EQ(fileContent(dir / "ro/f"), "old");
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
    ASSERT_TRUE(status.ok) << status.error;
    EXPECT_EQ(fileContent(dir / "out/newer.txt"), "edited later");
    EXPECT_EQ(fileContent(dir / "out/older.txt"), "from archive");
    EXPECT_EQ(fileContent(dir / "out/sub/missing.txt"), "from archive");
}

TEST(Unzip, ABrokenArchiveFailsWithTheFixedReason) {
    ScratchDir dir;
    putFile(dir / "bad.zip", "this is not a zip archive");
    auto status = unzip(dir / "bad.zip", dir / "out");
    EXPECT_FALSE(status.ok);
    EXPECT_EQ(status.error, "unzip failed.");
    EXPECT_EQ(unzip(dir / "missing.zip", dir / "out").error, "unzip failed.");
}

}  // namespace
}  // namespace lumetta::files

namespace lumetta::files {
namespace {

TEST(WriteFile, APipeWithoutAReaderFailsAtOnceInsteadOfHanging) {
    test::ScratchDir dir;
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    EXPECT_EQ(writeFile(dir / "pipe", "x", false).error, kCreateFailed);
    struct stat st {};
    ASSERT_EQ(lstat((dir / "pipe").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the pipe must not be replaced by a file";
}

}  // namespace
}  // namespace lumetta::files
