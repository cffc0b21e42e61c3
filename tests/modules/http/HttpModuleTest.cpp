#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bridge/NativeCall.h"
#include "modules/http/HttpModule.h"
#include "net/HTTPTask.h"
#include "net/OpensslTool.h"
#include "net/TestHttpServer.h"
#include "support/TestServices.h"

namespace lumetta::modules::http {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct Event {
    std::string name;
    uint32_t uid = 0;
    std::vector<std::string> fields;  // after the number
};

std::vector<uint8_t> patternBytes(uint64_t size) {
    std::vector<uint8_t> out(size);
    for (uint64_t i = 0; i < size; ++i) out[i] = test::patternByte(i);
    return out;
}

long highWaterKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

class HttpModuleTest : public ::testing::Test {
  protected:
    HttpModuleTest() {
        // The private temporary directory goes under the scratch folder.
        fs::create_directory(runtime);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        net::HTTPTaskOptions options;
        options.downloadTimeoutSeconds = 2;
        options.uploadTimeoutSeconds = 2;
        native = std::make_unique<bridge::NativeCall>(
            host.services, std::vector<bridge::ModuleDescriptor>{descriptor([options] {
                return std::make_unique<net::SoupTransferFactory>(options);
            })});
    }
    ~HttpModuleTest() override {
        native.reset();
        // Let cancelled operations finish on the loop before the server goes.
        for (int i = 0; i < 100 && g_main_context_iteration(nullptr, FALSE); ++i) {
        }
    }

    std::string call(const char* name, bridge::Arg a1 = std::nullopt,
                     bridge::Arg a2 = std::nullopt) {
        return native->call(name, a1, a2);
    }

    uint32_t start(const char* name, bridge::Arg a1, bridge::Arg a2 = std::nullopt) {
        std::string result = call(name, a1, a2);
        EXPECT_EQ(result[0], 'd') << result;
        return static_cast<uint32_t>(std::stoul(result.substr(1)));
    }

    void pump() {
        host.mainThread.runPending();
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        while (auto e = native->queue().take()) {
            auto parts = bridge::splitFields(*e, '\f');
            EXPECT_EQ(parts[0], "http");
            Event event{std::string(parts[1]),
                        static_cast<uint32_t>(std::stoul(std::string(parts[2]))),
                        {}};
            for (size_t i = 3; i < parts.size(); ++i) event.fields.emplace_back(parts[i]);
            events.push_back(event);
        }
    }

    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (true) {
            pump();
            if (done()) return true;
            if (std::chrono::steady_clock::now() > end) return false;
            if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(500);
        }
    }

    // Runs until transfer `uid` ends; its completed or error event.
    std::optional<Event> finish(uint32_t uid, std::chrono::milliseconds limit = 30s) {
        std::optional<Event> end;
        runUntil(
            [&] {
                for (auto& e : events)
                    if (e.uid == uid && (e.name == "completed" || e.name == "error")) end = e;
                return end.has_value();
            },
            limit);
        return end;
    }

    int terminalEvents(uint32_t uid) {
        int count = 0;
        for (auto& e : events)
            count += e.uid == uid && (e.name == "completed" || e.name == "error");
        return count;
    }

    std::vector<Event> progressOf(uint32_t uid) {
        std::vector<Event> out;
        for (auto& e : events)
            if (e.uid == uid && e.name == "progress") out.push_back(e);
        return out;
    }

    // No file in `dir` but those named.
    std::vector<std::string> filesIn(const fs::path& dir) {
        std::vector<std::string> names;
        for (auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
        return names;
    }

    HttpModule& module() { return *native->module<HttpModule>(); }

    test::ScratchDir top;
    fs::path runtime = top.path() / "run";
    test::ScratchDir scratch;  // downloads only
    test::TestHttpServer server;
    test::TestHost host;
    std::unique_ptr<bridge::NativeCall> native;
    std::vector<Event> events;
};

TEST_F(HttpModuleTest, ADownloadStreamsTheBodyIntoTheFileWithProgress) {
    std::string dest = scratch.file("body.bin");
    uint32_t uid = start("$$http_download", server.url("/fixed/300000"), dest);
    EXPECT_EQ(uid, 0u);
    auto end = finish(uid);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->name, "completed");
    EXPECT_EQ(end->fields, std::vector<std::string>{dest});
    EXPECT_EQ(test::readBytes(dest), patternBytes(300000));
    auto progress = progressOf(uid);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().fields, (std::vector<std::string>{"300000", "300000"}));
    for (auto& p : progress) EXPECT_EQ(p.fields[0], "300000");
    EXPECT_EQ(filesIn(scratch.path()), std::vector<std::string>{"body.bin"}) << "no part file left";
    EXPECT_EQ(module().connection().count(), 0u);
}

TEST_F(HttpModuleTest, AChunkedBodyReportsAnUnknownTotal) {
    std::string dest = scratch.file("chunked.bin");
    uint32_t uid = start("$$http_download", server.url("/chunked/50000"), dest);
    auto end = finish(uid);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->name, "completed");
    EXPECT_EQ(test::readBytes(dest), patternBytes(50000));
    auto progress = progressOf(uid);
    ASSERT_FALSE(progress.empty());
    for (auto& p : progress) EXPECT_EQ(p.fields[0], "-1");
    EXPECT_EQ(progress.back().fields[1], "50000");
}

TEST_F(HttpModuleTest, ADownloadWithoutDestinationLandsInThePrivateTemporaryDirectory) {
    uint32_t uid = start("$$http_download", server.url("/fixed/10"));
    auto end = finish(uid);
    ASSERT_TRUE(end);
    ASSERT_EQ(end->name, "completed");
    char name[64];
    std::snprintf(name, sizeof name, "lmtt_%x_%x.tmp", static_cast<unsigned>(getpid()), uid);
    fs::path dir = runtime / "com.velmar.lumetta";
    EXPECT_EQ(end->fields[0], (dir / name).string());
    EXPECT_EQ(test::readBytes(end->fields[0]), patternBytes(10));
    struct stat info {};
    ASSERT_EQ(stat(dir.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(HttpModuleTest, AnErrorStatusIsAnErrorAndLeavesNoFile) {
    for (const char* code : {"404", "500"}) {
        std::string dest = scratch.file(std::string("page") + code);
        std::string url = server.url(std::string("/status/") + code);
        uint32_t uid = start("$$http_download", url, dest);
        auto end = finish(uid);
        ASSERT_TRUE(end) << code;
        EXPECT_EQ(end->name, "error") << code;
        EXPECT_EQ(end->fields, std::vector<std::string>{url});
        EXPECT_FALSE(fs::exists(dest)) << "the error page must not be stored as the file";
    }
    EXPECT_TRUE(filesIn(scratch.path()).empty());
}

TEST_F(HttpModuleTest, AnExistingFileIsReplacedAndADirectoryRefused) {
    std::string dest = scratch.file("old");
    test::writeBytes(dest, std::vector<uint8_t>(5000, 'x'));
    uint32_t uid = start("$$http_download", server.url("/fixed/20"), dest);
    ASSERT_EQ(finish(uid)->name, "completed");
    EXPECT_EQ(test::readBytes(dest), patternBytes(20));

    fs::create_directory(scratch.file("dir"));
    uid = start("$$http_download", server.url("/fixed/20"), scratch.file("dir"));
    auto end = finish(uid);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->name, "error");
    EXPECT_TRUE(fs::is_directory(scratch.file("dir")));
}

TEST_F(HttpModuleTest, CancelEndsARunningTransferWithoutEvents) {
    std::string dest = scratch.file("slow");
    uint32_t uid = start("$$http_download", server.url("/slow"), dest);
    ASSERT_TRUE(runUntil([&] { return progressOf(uid).size() >= 2; }));
    EXPECT_EQ(call("$$http_cancel", std::to_string(uid)), "v");
    size_t seen = events.size();
    auto until = std::chrono::steady_clock::now() + 500ms;
    runUntil([&] { return std::chrono::steady_clock::now() > until; });
    EXPECT_EQ(events.size(), seen) << "a cancelled transfer reports nothing more";
    EXPECT_TRUE(filesIn(scratch.path()).empty()) << "no file, no part file";
    EXPECT_EQ(module().connection().count(), 0u);
}

TEST_F(HttpModuleTest, CancelOfUnknownNumbersIsHarmlessAndNoArgumentMeansZero) {
    EXPECT_EQ(call("$$http_cancel", "99"), "v");
    EXPECT_EQ(call("$$http_cancel", "junk"), "v");
    uint32_t uid = start("$$http_download", server.url("/slow"), scratch.file("slow"));
    ASSERT_EQ(uid, 0u);
    EXPECT_EQ(call("$$http_cancel"), "v");
    EXPECT_EQ(module().connection().count(), 0u);
}

TEST_F(HttpModuleTest, InvalidUrlsGiveTheNoTransferNumber) {
    EXPECT_EQ(call("$$http_download", "not a url", scratch.file("x")), "d4294967295");
    EXPECT_EQ(call("$$http_download", std::nullopt, scratch.file("x")), "d4294967295");
    EXPECT_EQ(call("$$http_upload", "::", scratch.file("x")), "d4294967295");
    EXPECT_EQ(call("$$http_download", server.url("/fixed/1"), scratch.file("x")), "d0")
        << "failed starts use no number";
    EXPECT_EQ(finish(0)->name, "completed");
}

TEST_F(HttpModuleTest, UploadWithoutAFileIsAnErrorResult) {
    std::string result = call("$$http_upload", server.url("/upload/200"));
    EXPECT_EQ(result[0], 'e');
    EXPECT_EQ(call("$$http_download", server.url("/fixed/1"), scratch.file("x")), "d0");
}

TEST_F(HttpModuleTest, AnUploadPutsTheFileWithItsHeaders) {
    std::string source = scratch.file("up.bin");
    auto data = patternBytes(1 << 20);
    test::writeBytes(source, data);
    for (const char* code : {"201", "200"}) {
        uint32_t uid = start("$$http_upload", server.url(std::string("/upload/") + code), source);
        auto end = finish(uid);
        ASSERT_TRUE(end);
        EXPECT_EQ(end->name, "completed") << code;
        EXPECT_EQ(end->fields, std::vector<std::string>{source});
        auto up = server.lastUpload();
        EXPECT_EQ(up.method, "PUT");
        EXPECT_EQ(up.headers["user-agent"], "VELMAR");
        EXPECT_EQ(up.headers["content-type"], "application/octet-stream");
        EXPECT_EQ(up.headers["content-length"], std::to_string(data.size()));
        EXPECT_TRUE(up.complete);
        test::Fnv digest;
        digest.add(data.data(), data.size());
        EXPECT_EQ(up.digest, digest.value);
        auto progress = progressOf(uid);
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.back().fields, (std::vector<std::string>{std::to_string(data.size()),
                                                                    std::to_string(data.size())}));
    }
}

TEST_F(HttpModuleTest, AnUploadAnsweredWithOtherStatusesFails) {
    std::string source = scratch.file("up.bin");
    test::writeBytes(source, patternBytes(1000));
    for (const char* code : {"204", "500"}) {
        std::string url = server.url(std::string("/upload/") + code);
        uint32_t uid = start("$$http_upload", url, source);
        auto end = finish(uid);
        ASSERT_TRUE(end);
        EXPECT_EQ(end->name, "error") << code;
        EXPECT_EQ(end->fields, std::vector<std::string>{url});
        EXPECT_EQ(terminalEvents(uid), 1);
    }
}

TEST_F(HttpModuleTest, UploadOfAMissingOrSpecialFileFailsWithAnEvent) {
    uint32_t uid = start("$$http_upload", server.url("/upload/200"), scratch.file("missing"));
    ASSERT_EQ(finish(uid)->name, "error");
    ASSERT_EQ(mkfifo(scratch.file("fifo").c_str(), 0600), 0);
    uid = start("$$http_upload", server.url("/upload/200"), scratch.file("fifo"));
    ASSERT_EQ(finish(uid)->name, "error");
    uid = start("$$http_upload", server.url("/upload/200"), scratch.path().string());
    ASSERT_EQ(finish(uid)->name, "error");
}

TEST_F(HttpModuleTest, NonHttpSchemesFailWithAnEvent) {
    uint32_t uid = start("$$http_download", "ftp://127.0.0.1/x", scratch.file("x"));
    auto end = finish(uid);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->name, "error");
    EXPECT_FALSE(fs::exists(scratch.file("x")));
}

// Servers that misbehave: each transfer ends in one error event, leaves no file, and the
// loop goes on.
TEST_F(HttpModuleTest, BrokenServersGiveOneErrorAndNoFile) {
    for (const char* path :
         {"/closemid/200000", "/stall", "/noanswer", "/redirect", "/hugeheader"}) {
        std::string dest = scratch.file("broken");
        std::string url = server.url(path);
        uint32_t uid = start("$$http_download", url, dest);
        auto end = finish(uid, 60s);
        ASSERT_TRUE(end) << path << " did not end";
        EXPECT_EQ(end->name, "error") << path;
        EXPECT_EQ(end->fields, std::vector<std::string>{url}) << path;
        EXPECT_FALSE(fs::exists(dest)) << path;
        EXPECT_TRUE(filesIn(scratch.path()).empty()) << path;
        EXPECT_EQ(terminalEvents(uid), 1) << path;
    }
}

TEST_F(HttpModuleTest, AnUploadToAServerThatNeverAnswersTimesOut) {
    std::string source = scratch.file("up.bin");
    test::writeBytes(source, patternBytes(1000));
    uint32_t uid = start("$$http_upload", server.url("/noanswer"), source);
    auto end = finish(uid, 60s);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->name, "error");
    EXPECT_TRUE(fs::exists(source)) << "the source is left alone";
}

TEST_F(HttpModuleTest, ADestinationInAMissingFolderIsAnError) {
    std::string dest = scratch.file("no/such/folder/file");
    uint32_t uid = start("$$http_download", server.url("/fixed/10"), dest);
    auto end = finish(uid);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->name, "error");
    EXPECT_EQ(server.requests(), 0) << "nothing is fetched that cannot be stored";
}

TEST_F(HttpModuleTest, ARefusedConnectionIsAnError) {
    uint16_t port;
    {
        test::TestHttpServer gone;
        port = gone.port();
    }
    uint32_t uid = start("$$http_download", "http://127.0.0.1:" + std::to_string(port) + "/x",
                         scratch.file("x"));
    ASSERT_EQ(finish(uid)->name, "error");
}

TEST_F(HttpModuleTest, ABodyLongerThanItsLengthIsCutAtTheLength) {
    std::string dest = scratch.file("long");
    uint32_t uid = start("$$http_download", server.url("/long/1000"), dest);
    ASSERT_EQ(finish(uid)->name, "completed");
    EXPECT_EQ(test::readBytes(dest), patternBytes(1000));
}

TEST_F(HttpModuleTest, CallsFromAnotherThreadRunOnTheMainLoop) {
    std::string dest = scratch.file("t");
    std::string result;
    std::thread([&] { result = call("$$http_download", server.url("/fixed/100"), dest); }).join();
    EXPECT_EQ(result, "d0");
    ASSERT_EQ(finish(0)->name, "completed");
    EXPECT_EQ(test::readBytes(dest), patternBytes(100));
}

TEST_F(HttpModuleTest, ABigDownloadNeedsNoMoreMemoryThanABuffer) {
    std::string dest = scratch.file("big");
    const uint64_t size = 256ull << 20;
    long before = highWaterKiB();
    uint32_t uid = start("$$http_download", server.url("/fixed/" + std::to_string(size)), dest);
    // Progress events are taken as they come, as a page would.
    auto end = finish(uid, 120s);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->name, "completed");
    EXPECT_EQ(fs::file_size(dest), size);
    EXPECT_LT(highWaterKiB() - before, 64 * 1024) << "memory grew with the body";
}

TEST_F(HttpModuleTest, TeardownCancelsRunningTransfersQuietly) {
    start("$$http_download", server.url("/slow"), scratch.file("slow"));
    ASSERT_TRUE(runUntil([&] { return !progressOf(0).empty(); }));
    native.reset();
    for (int i = 0; i < 50; ++i) g_main_context_iteration(nullptr, FALSE);
    EXPECT_TRUE(filesIn(scratch.path()).size() <= 1u);
    EXPECT_FALSE(fs::exists(scratch.file("slow")));
}

}  // namespace
}  // namespace lumetta::modules::http
