// Soak and load of the whole bridge in the real page: events from several native threads while
// the page calls on every channel, and the loopback server under a flood of malformed and slow
// requests. Nothing may be lost or repeated, and the process's memory must be flat at the end.
// The CI runs short variants; LUMETTA_SOAK=1 runs the long ones (an hour of events at 1,000 a
// second, many more load rounds).

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <webkit/webkit.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridge/NativeCall.h"
#include "bridge/Result.h"
#include "host/gtk/WebViewController.h"
#include "modules/app/AppModule.h"
#include "modules/util/UtilModule.h"
#include "support/HostTestSupport.h"

using namespace lumetta;
using namespace std::chrono_literals;

namespace {

bool longRun() {
    const char* soak = std::getenv("LUMETTA_SOAK");
    return soak && *soak && std::string(soak) != "0";
}

// Resident memory of this process in bytes.
size_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

bool underAddressSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

// Counts every call by channel and id: "$$load_echo" arg1 = channel, arg2 = id; answers the id.
struct Ledger {
    std::mutex lock;
    std::map<std::string, std::map<long, int>> seen;  // channel -> id -> times
    void note(const std::string& channel, long id) {
        std::lock_guard guard(lock);
        ++seen[channel][id];
    }
};

class LoadModule final : public bridge::Module {
  public:
    LoadModule(bridge::ModuleContext& ctx, Ledger& ledger) {
        ctx.functions.add("$$load_echo::", [&ledger](const bridge::Arg& channel,
                                                     const bridge::Arg& id) {
            ledger.note(channel.value_or("?"), std::strtol(id.value_or("-1").c_str(), nullptr, 10));
            return bridge::resultString(id.value_or(""));
        });
    }
};

// The page: lumetta.js, delivery switched on by the test.
std::string writePage() {
    std::string dir = g_get_tmp_dir() + std::string("/lumetta-soak-") + std::to_string(getpid());
    g_mkdir_with_parents(dir.c_str(), 0700);
    std::string page = dir + "/soak.html";
    std::ofstream(page) << "<!DOCTYPE html><html><head><meta charset='utf-8'>"
                           "<script>window.lumettaManualStart = true;</script>"
                           "<script src='file://" LUMETTA_PAGE_LIBRARY
                           "'></script>"
                           "</head><body>soak</body></html>";
    return "file://" + page;
}

// Counts "soak" "tick" thread index events in the page: each thread's indexes must come as
// 0, 1, 2, ... with nothing missing, repeated or out of order.
const char* kEventCounter = R"JS(
window.__soak = { count: 0, bad: 0, next: {} };
Lumetta.on('soak', 'tick', (fields) => {
  const s = window.__soak, t = fields[0], i = Number(fields[1]);
  if ((s.next[t] || 0) !== i) s.bad++;
  s.next[t] = i + 1;
  s.count++;
});
Lumetta.start().then(() => { window.__started = 'yes'; });
)JS";

class BridgeSoak : public ::testing::Test {
  protected:
    void SetUp() override {
        test::initDisplayOnce();
        services = std::make_unique<test::WindowServices>();
        std::vector<bridge::ModuleDescriptor> modules = {
            modules::app::descriptor(),
            modules::util::descriptor(),
            {"load", 100, [this](bridge::ModuleContext& ctx) {
                 return std::make_unique<LoadModule>(ctx, ledger);
             }}};
        controller = std::make_unique<host::WebViewController>(services->services, modules,
                                                               host::WebViewController::Options{});
        window = gtk_window_new();
        gtk_window_set_child(GTK_WINDOW(window), controller->createWebView(writePage()));
        controller->setWindow(GTK_WINDOW(window), nullptr, nullptr);
        gtk_window_present(GTK_WINDOW(window));
        ASSERT_TRUE(test::runUntil(
            [&] { return !webkit_web_view_is_loading(controller->webView()); }, 30s));
        controller->postJavaScriptFunction(kEventCounter);
        ASSERT_TRUE(test::runUntil([&] { return evaluate("window.__started") == "yes"; }, 30s));
    }
    void TearDown() override {
        if (window) gtk_window_destroy(GTK_WINDOW(window));
        controller.reset();
        test::runFor(100ms);
    }

    std::string evaluate(const std::string& script) {
        return controller->callJavaScriptFunction(script).value_or("");
    }
    long number(const std::string& script) { return std::atol(evaluate(script).c_str()); }

    // Posts `perThread` events from each of `threads` threads, as fast as they can.
    std::vector<std::thread> startPosting(int threads, long perThread) {
        std::vector<std::thread> posters;
        bridge::NativeCall& native = controller->intf().native();
        for (int t = 0; t < threads; ++t) {
            posters.emplace_back([&native, t, perThread] {
                for (long i = 0; i < perThread; ++i)
                    native.postEvent(
                        bridge::joinEvent({"soak", "tick", std::to_string(t), std::to_string(i)}));
            });
        }
        return posters;
    }

    // Waits until the page counted `total` events (the hang guard is many times the expected
    // time); returns the page's count.
    long waitForEvents(long total, std::chrono::seconds guard) {
        auto deadline = std::chrono::steady_clock::now() + guard;
        long count = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            count = number("window.__soak.count");
            if (count >= total) break;
            test::runFor(20ms);
        }
        return count;
    }

    void expectEveryThreadComplete(int threads, long perThread) {
        EXPECT_EQ(number("window.__soak.bad"), 0) << "events lost, repeated or out of order";
        for (int t = 0; t < threads; ++t)
            EXPECT_EQ(number("window.__soak.next['" + std::to_string(t) + "'] || 0"), perThread)
                << "thread " << t;
    }

    Ledger ledger;
    std::unique_ptr<test::WindowServices> services;
    std::unique_ptr<host::WebViewController> controller;
    GtkWidget* window = nullptr;
};

}  // namespace

TEST_F(BridgeSoak, EventsFromFourThreadsReachThePageOnceEachInOrder) {
    constexpr int kThreads = 4;
    // Long: an hour of events at 1,000 a second, posted as fast as the threads can.
    const long perThread = longRun() ? 900000 : 25000;
    auto posters = startPosting(kThreads, perThread);
    long count = waitForEvents(kThreads * perThread, longRun() ? 3600s : 300s);
    for (auto& p : posters) p.join();
    test::runFor(200ms);
    EXPECT_EQ(count, kThreads * perThread);
    EXPECT_EQ(number("window.__soak.count"), kThreads * perThread) << "more events than posted";
    expectEveryThreadComplete(kThreads, perThread);
}

// The page calls "$$load_echo" on every channel in turn while four threads post events. Each
// call must settle with its own id and reach the native side exactly once.
const char* kLoadRounds = R"JS(
window.__load = { done: 0, wrong: 0, failed: 0, finished: '' };
window.__runLoad = async function (from, rounds) {
  const L = window.__load;
  const check = (r, id) => { if (!r || r.type !== 's' || r.value !== String(id)) L.wrong++; };
  for (let id = from; id < from + rounds; id++) {
    try {
      check(await Lumetta.call('$$load_echo', 'call', String(id)), id);
      check(await Lumetta.callVar('$$load_echo', 'callVar', String(id)), id);
      check(Lumetta.callSync('$$load_echo', 'callSync', String(id)), id);
      Lumetta.send('$$load_echo', 'send', String(id));
      check(await Lumetta.callXHR('$$load_echo', 'callXHR', String(id)), id);
    } catch (e) {
      L.failed++;
    }
    L.done++;
  }
  L.finished += 'x';
};
)JS";

TEST_F(BridgeSoak, LoadOnEveryChannelWithEventsLosesNothingAndKeepsMemoryFlat) {
    constexpr int kThreads = 4;
    const long warmRounds = 300;
    const long rounds = longRun() ? 20000 : 1500;
    const long perThread = longRun() ? 250000 : 20000;
    controller->postJavaScriptFunction(kLoadRounds);

    auto runRounds = [&](long from, long count, std::chrono::seconds guard) {
        std::string before = evaluate("window.__load.finished");
        controller->postJavaScriptFunction("window.__runLoad(" + std::to_string(from) + ", " +
                                           std::to_string(count) + ")");
        return test::runUntil(
            [&] { return evaluate("window.__load.finished").size() > before.size(); }, guard);
    };

    // Warm-up: caches, the JIT's code, the allocator's pools.
    ASSERT_TRUE(runRounds(0, warmRounds, 120s));
    test::runFor(300ms);
    const size_t warm = residentBytes();

    auto posters = startPosting(kThreads, perThread);
    ASSERT_TRUE(runRounds(warmRounds, rounds, longRun() ? 3600s : 600s)) << "the page stalled";
    long count = waitForEvents(kThreads * perThread, 300s);
    for (auto& p : posters) p.join();
    test::runFor(500ms);  // the last fire-and-forget sends
    const size_t end = residentBytes();

    EXPECT_EQ(number("window.__load.done"), warmRounds + rounds);
    EXPECT_EQ(number("window.__load.wrong"), 0);
    EXPECT_EQ(number("window.__load.failed"), 0);
    EXPECT_EQ(count, kThreads * perThread);
    expectEveryThreadComplete(kThreads, perThread);
    {
        std::lock_guard guard(ledger.lock);
        for (const char* channel : {"call", "callVar", "callSync", "send", "callXHR"}) {
            auto& ids = ledger.seen[channel];
            EXPECT_EQ(static_cast<long>(ids.size()), warmRounds + rounds)
                << channel << " lost calls";
            long repeated = 0;
            for (auto& [id, times] : ids) repeated += times != 1;
            EXPECT_EQ(repeated, 0) << channel << " ran calls twice";
        }
    }
    // A leak check, not a timing one: the bound is generous, far below what a per-call or
    // per-event leak of even a few hundred bytes would add over these counts.
    if (!underAddressSanitizer()) {  // ASan's quarantine holds freed memory back on purpose
        EXPECT_LT(end, warm + 64u * 1024 * 1024)
            << "resident memory grew from " << warm / 1024 << " KiB to " << end / 1024 << " KiB";
    }
    std::printf("resident memory: %zu KiB after warm-up, %zu KiB at the end\n", warm / 1024,
                end / 1024);
}

namespace {

int connectTo(unsigned port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

// Flooders on loopback: garbage, headers that never end, oversized headers, requests without
// the token, and connections that stall mid-header. The page's own calls keep being answered.
TEST_F(BridgeSoak, LoopbackServerUnderAFloodKeepsAnsweringThePage) {
    const unsigned port = controller->intf().portNo();
    ASSERT_NE(port, 0u);
    const int perFlooder = longRun() ? 3000 : 150;
    std::atomic<bool> stop{false};
    std::vector<std::thread> flooders;
    for (int kind = 0; kind < 4; ++kind) {
        flooders.emplace_back([&, kind] {
            const std::string big(20000, 'a');
            for (int i = 0; i < perFlooder && !stop; ++i) {
                int fd = connectTo(port);
                if (fd < 0) continue;
                std::string bytes;
                switch (kind) {
                    case 0:
                        bytes = "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\r\n\r\n";
                        break;
                    case 1:
                        bytes = "GET /nope/$$load_echo?flood," + std::to_string(i) +
                                " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
                        break;
                    case 2:
                        bytes = "GET /" + big;
                        break;
                    default:
                        bytes = "GET /slow HTTP/1.1\r\nHost: 127.0.0.1:";  // and then nothing
                }
                send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
                if (kind == 3) std::this_thread::sleep_for(20ms);
                close(fd);
            }
        });
    }
    controller->postJavaScriptFunction(R"JS(
window.__xhr = { ok: 0, bad: 0, done: '' };
(async () => {
  for (let id = 0; id < 200; id++) {
    try {
      const r = await Lumetta.callXHR('$$load_echo', 'page', String(id));
      if (r.type === 's' && r.value === String(id)) window.__xhr.ok++; else window.__xhr.bad++;
    } catch (e) { window.__xhr.bad++; }
  }
  window.__xhr.done = 'yes';
})();
)JS");
    bool finished = test::runUntil([&] { return evaluate("window.__xhr.done") == "yes"; }, 300s);
    stop = true;
    for (auto& f : flooders) f.join();
    ASSERT_TRUE(finished) << "the page's calls stalled";
    EXPECT_EQ(number("window.__xhr.ok"), 200);
    EXPECT_EQ(number("window.__xhr.bad"), 0);
    std::lock_guard guard(ledger.lock);
    EXPECT_TRUE(ledger.seen["flood"].empty()) << "a request without the token ran";
    EXPECT_EQ(ledger.seen["page"].size(), 200u);
}
