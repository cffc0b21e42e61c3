// HTTP and TCP throughput on loopback, each next to a reference client in the same run:
// a 200 MB download and upload through the http module against curl, and echo traffic
// through the tcpip module against a plain socket client. Prints figures; never fails.

#include <glib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bridge/NativeCall.h"
#include "bridge/Result.h"
#include "modules/http/HttpModule.h"
#include "modules/tcpip/TcpipModule.h"
#include "net/LoopbackPeer.h"
#include "net/OpensslTool.h"
#include "net/TestHttpServer.h"
#include "support/TestServices.h"

using namespace lumetta;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

constexpr uint64_t kHttpSize = 200ull * 1000 * 1000;
constexpr uint64_t kEchoSize = 100ull * 1000 * 1000;
constexpr int kRounds = 5;

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

double mbPerSecond(uint64_t bytes, double s) {
    return static_cast<double>(bytes) / 1e6 / s;
}

long statusKiB(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::strlen(key)));
    return 0;
}

// Runs a command line; its wall time in seconds, or -1 when it failed.
double timeCommand(const std::string& command) {
    auto start = Clock::now();
    int status = std::system(command.c_str());
    if (status != 0) return -1;
    return seconds(start);
}

class HttpBench {
  public:
    HttpBench() {
        native = std::make_unique<bridge::NativeCall>(
            host.services, std::vector<bridge::ModuleDescriptor>{modules::http::descriptor()});
    }

    // Runs the transfer started by `name` to its end; seconds, or -1 on an error event.
    double transfer(const char* name, const std::string& a1, const std::string& a2) {
        auto start = Clock::now();
        std::string result = native->call(name, a1, a2);
        std::string uid = result.substr(1);
        while (true) {
            g_main_context_iteration(nullptr, TRUE);
            while (auto e = native->queue().take()) {
                auto fields = bridge::splitFields(*e, '\f');
                if (fields[2] != uid) continue;
                if (fields[1] == "completed") return seconds(start);
                if (fields[1] == "error") return -1;
            }
        }
    }

    test::TestHost host;
    std::unique_ptr<bridge::NativeCall> native;
};

void httpBench(const test::ScratchDir& dir) {
    test::TestHttpServer server;
    HttpBench bench;
    std::string url = server.url("/blob/" + std::to_string(kHttpSize));
    std::string ours = dir.file("ours.bin");
    std::string theirs = dir.file("curl.bin");

    double bestOurs = 1e9, bestCurl = 1e9;
    long rssBefore = statusKiB("VmHWM:");
    for (int round = 0; round < kRounds; ++round) {
        double t = bench.transfer("$$http_download", url, ours);
        if (t > 0) bestOurs = std::min(bestOurs, t);
        double c = timeCommand("curl -s -o '" + theirs + "' '" + url + "'");
        if (c > 0) bestCurl = std::min(bestCurl, c);
    }
    long rssGrowth = statusKiB("VmHWM:") - rssBefore;
    std::printf(
        "download %llu MB: http module %.0f MB/s, curl %.0f MB/s, ratio %.2f; peak memory "
        "growth %ld KiB\n",
        static_cast<unsigned long long>(kHttpSize / 1000000), mbPerSecond(kHttpSize, bestOurs),
        mbPerSecond(kHttpSize, bestCurl), bestCurl / bestOurs, rssGrowth);

    // Upload the file just downloaded.
    std::string sink = server.url("/discard");
    bestOurs = 1e9;
    bestCurl = 1e9;
    rssBefore = statusKiB("VmHWM:");
    for (int round = 0; round < kRounds; ++round) {
        double t = bench.transfer("$$http_upload", sink, ours);
        if (t > 0) bestOurs = std::min(bestOurs, t);
        double c = timeCommand("curl -s -o /dev/null -T '" + ours + "' '" + sink + "'");
        if (c > 0) bestCurl = std::min(bestCurl, c);
    }
    rssGrowth = statusKiB("VmHWM:") - rssBefore;
    std::printf(
        "upload %llu MB: http module %.0f MB/s, curl %.0f MB/s, ratio %.2f; peak memory "
        "growth %ld KiB\n",
        static_cast<unsigned long long>(kHttpSize / 1000000), mbPerSecond(kHttpSize, bestOurs),
        mbPerSecond(kHttpSize, bestCurl), bestCurl / bestOurs, rssGrowth);
}

// An echo peer on loopback: everything read is written back.
class EchoServer {
  public:
    EchoServer() {
        thread_ = std::thread([this] {
            auto fd = listener_.accept(30000);
            if (!fd) return;
            std::vector<uint8_t> buffer(1 << 18);
            while (true) {
                ssize_t n = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
                if (n <= 0 || !test::writeAll(fd.get(), buffer.data(), static_cast<size_t>(n)))
                    return;
            }
        });
    }
    ~EchoServer() { thread_.join(); }
    uint16_t port() const { return listener_.port(); }

  private:
    test::LoopbackListener listener_;
    std::thread thread_;
};

double echoThroughModule(const std::vector<uint8_t>& chunk) {
    test::TestHost host;
    std::unique_ptr<bridge::NativeCall> native;
    auto relay = host.center.observe(bridge::note::postEvent,
                                     [&](const std::string& event) { native->postEvent(event); });
    native = std::make_unique<bridge::NativeCall>(
        host.services, std::vector<bridge::ModuleDescriptor>{modules::tcpip::descriptor()});
    EchoServer echo;
    std::string number =
        native->call("$$tcpip_connect", "127.0.0.1", std::to_string(echo.port())).substr(1);
    std::string hex = bridge::hexStringFromBytes(chunk);
    std::atomic<uint64_t> echoed{0};
    std::atomic<bool> closed{false};
    auto start = Clock::now();
    // The page: takes events as they come (their hex text is counted, not decoded).
    std::thread page([&] {
        while (!closed) {
            auto e = native->queue().take();
            if (!e) {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
                continue;
            }
            auto fields = bridge::splitFields(*e, '\f');
            if (fields[1] == "read") echoed += fields[3].size() / 2;
            if (fields[1] == "closed") closed = true;
        }
    });
    for (uint64_t sent = 0; sent < kEchoSize; sent += chunk.size())
        native->call("$$tcpip_write", number, hex);
    while (echoed.load() < kEchoSize) std::this_thread::sleep_for(std::chrono::microseconds(100));
    double s = seconds(start);
    native->call("$$tcpip_close", number, std::nullopt);
    while (!closed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    page.join();
    host.mainThread.runPending();
    native.reset();
    return s;
}

double echoThroughSocket(const std::vector<uint8_t>& chunk) {
    EchoServer echo;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(echo.port());
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) return -1;
    auto start = Clock::now();
    std::thread reader([&] {
        std::vector<uint8_t> buffer(1 << 17);
        uint64_t got = 0;
        while (got < kEchoSize) {
            ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) break;
            got += static_cast<uint64_t>(n);
        }
    });
    for (uint64_t sent = 0; sent < kEchoSize; sent += chunk.size())
        test::writeAll(fd, chunk.data(), chunk.size());
    reader.join();
    double s = seconds(start);
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    return s;
}

void tcpBench() {
    std::vector<uint8_t> chunk(64 * 1000);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>(i * 7);
    double bestModule = 1e9, bestSocket = 1e9;
    for (int round = 0; round < kRounds; ++round) {
        bestModule = std::min(bestModule, echoThroughModule(chunk));
        bestSocket = std::min(bestSocket, echoThroughSocket(chunk));
    }
    std::printf(
        "tcp echo %llu MB in 64 kB writes: tcpip module %.0f MB/s, plain socket %.0f MB/s, "
        "ratio %.2f\n",
        static_cast<unsigned long long>(kEchoSize / 1000000), mbPerSecond(kEchoSize, bestModule),
        mbPerSecond(kEchoSize, bestSocket), bestSocket / bestModule);
}

}  // namespace

int main(int argc, char** argv) {
    // An argument picks one part: "http" or "tcp".
    std::string only = argc > 1 ? argv[1] : "";
    test::ScratchDir dir;
    if (only.empty() || only == "http") {
        if (std::system("curl --version >/dev/null 2>&1") == 0)
            httpBench(dir);
        else
            std::printf("curl is not installed: HTTP benchmark skipped\n");
    }
    if (only.empty() || only == "tcp") tcpBench();
    return 0;
}
