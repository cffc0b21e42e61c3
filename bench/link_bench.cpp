// Device link speed with the real page and the simulator in one run: MIDI from the page to the
// device and back (latency at 1,000 a second, loss at 5,000 a second), then 60 s of audio to
// and from the device at the device's real-time pace, with the host's CPU time. The peer figures
// are the same MIDI echo measured natively (no page) and the simulator's own CPU time.
// Run with scripts/with-display.sh (make bench).

#include <gtk/gtk.h>
#include <sys/resource.h>
#include <webkit/webkit.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Tone.h"
#include "audio/AudioStreams.h"
#include "bridge/NotificationCenter.h"
#include "host/gtk/GlibMainThread.h"
#include "host/gtk/WebViewController.h"
#include "link/DLKConnection.h"
#include "link/DLKMIDIService.h"
#include "link/DevsimProcess.h"
#include "midi/ServiceSelection.h"
#include "modules/Modules.h"
#include "support/NullServices.h"

using namespace lumetta;
using Clock = std::chrono::steady_clock;
using bench::evaluate;
using bench::pollValue;
using bench::spinUntil;

namespace {

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec +
           u.ru_stime.tv_usec / 1e6;
}

// User plus system time of another process, from /proc.
double processCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// The page sends note-ons whose two data bytes carry an id, paced by timers, and measures each
// echo's arrival against its own send time.
const char* kMidiScript = R"JS(
window.__runMidi = function (count, rate, key) {
  const sent = new Array(count), lat = new Array(count);
  let received = 0, inOrder = true, next = 0;
  const off = Lumetta.on('dlk', 'message', (f) => {
    const id = (parseInt(f[0].slice(2, 4), 16) << 7) | parseInt(f[0].slice(4, 6), 16);
    if (id !== received % 16384) inOrder = false;
    const i = received - (received % 16384) + id;
    if (i < count && sent[i] !== undefined) lat[i] = performance.now() - sent[i];
    received++;
  });
  const start = performance.now();
  function pump() {
    const due = Math.min(count, Math.floor((performance.now() - start) * rate / 1000) + 1);
    for (; next < due; next++) {
      const id = next % 16384;
      const hex = '90' + (id >> 7).toString(16).padStart(2, '0') + (id & 127).toString(16).padStart(2, '0');
      sent[next] = performance.now();
      Lumetta.call('$$dlk_send', hex);
    }
    if (next < count) setTimeout(pump, 1);
    else setTimeout(finish, 1500);
  }
  function finish() {
    off();
    const l = lat.filter((x) => x !== undefined).sort((a, b) => a - b);
    window[key] = JSON.stringify({ received, inOrder,
      median: l[Math.floor(l.length / 2)] || 0, p99: l[Math.min(l.length - 1, Math.floor(l.length * 0.99))] || 0,
      worst: l[l.length - 1] || 0 });
  }
  pump();
};
)JS";

struct Echo {
    double median = 0, p99 = 0;
};

// The same echo without the page: a connection in this process, paced at `rate`.
Echo nativeEcho(const nlohmann::json& device, int count, double rate) {
    struct Times : link::DLKMIDIInputDelegate {
        std::vector<Clock::time_point> sent, got;
        void midiInputMessage(const uint8_t* b, int32_t size, uint32_t, int32_t) override {
            if (size != 3) return;
            size_t id = size_t(b[1]) << 7 | b[2];
            if (id < got.size()) got[id] = Clock::now();
        }
    } times;
    times.sent.resize(size_t(count));
    times.got.resize(size_t(count));
    link::DLKConnection connection;
    connection.midiService().setDelegate(&times);
    connection.connect(device);
    spinUntil([&] { return connection.client().status() == link::DLKNetClient::connected; }, 10);
    auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        auto due = start + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(i / rate));
        spinUntil([&] { return Clock::now() >= due; }, 1);
        uint8_t note[3] = {0x90, uint8_t(i >> 7 & 127), uint8_t(i & 127)};
        times.sent[size_t(i)] = Clock::now();
        connection.midiService().send(note, 3);
    }
    spinUntil([] { return false; }, 0.5);
    std::vector<double> l;
    for (int i = 0; i < count; ++i)
        if (times.got[size_t(i)] != Clock::time_point{})
            l.push_back(std::chrono::duration<double, std::milli>(times.got[size_t(i)] -
                                                                  times.sent[size_t(i)])
                            .count());
    std::sort(l.begin(), l.end());
    Echo e;
    if (!l.empty()) {
        e.median = l[l.size() / 2];
        e.p99 = l[std::min(l.size() - 1, l.size() * 99 / 100)];
    }
    return e;
}

uint8_t patternByte(uint64_t i) {
    return uint8_t((i * 2654435761u) >> 13);
}

class Source : public audio::AudioOutputStreamDelegate {
  public:
    int64_t outputStream(audio::AudioOutputStream&, uint8_t* buffer, int64_t n) override {
        for (int64_t i = 0; i < n; ++i) buffer[i] = patternByte(given + uint64_t(i));
        given += uint64_t(n);
        return n;
    }
    uint64_t given = 0;
};

class Sink : public audio::AudioInputStreamDelegate {
  public:
    explicit Sink(uint32_t period) : period_(period) {}
    void inputStream(audio::AudioInputStream&, const uint8_t* b, int64_t n) override {
        auto now = Clock::now();
        if (bytes > 0) {
            double gap = std::chrono::duration<double, std::milli>(now - last).count();
            maxGapMs = std::max(maxGapMs, gap);
            if (gap > 50) ++longGaps;
        }
        last = now;
        for (int64_t i = 0; i < n; ++i)
            if (b[i] != devsim::toneByte(bytes + uint64_t(i), period_)) ++wrong;
        bytes += uint64_t(n);
    }
    uint64_t bytes = 0, wrong = 0;
    double maxGapMs = 0;
    int longGaps = 0;  // deliveries more than 50 ms apart
    Clock::time_point last;

  private:
    uint32_t period_;
};

}  // namespace

int main() {
    gtk_init();
    const std::string dir = g_get_tmp_dir() + std::string("/lumetta-link-bench");
    std::filesystem::create_directories(dir);
    const std::string page = dir + "/bench.html";
    const std::string wav = dir + "/output.wav";
    std::ofstream(page) << "<!DOCTYPE html><html><head><meta charset='utf-8'>"
                           "<script>window.lumettaManualStart = true;</script>"
                           "<script src='file://" LUMETTA_SOURCE_RESOURCES
                           "/html/lumetta.js'></script>"
                           "</head><body>bench</body></html>";

    test::DevsimProcess sim({"--no-discovery", "--output-pace", "realtime", "--input-pace",
                             "realtime", "--output-wav", wav});
    test::DevsimProcess peer({"--no-discovery"});
    if (!sim.started() || !peer.started()) {
        std::fprintf(stderr, "link_bench: the simulator did not start\n");
        return 1;
    }

    host::GlibMainThread mainThread;
    test::NullStore store;
    test::NullApplication application;
    bridge::Services services{mainThread, bridge::NotificationCenter::defaultCenter(), store,
                              application};
    midi::forceVirtualService(true);
    GtkWidget* window = gtk_window_new();
    host::WebViewController controller(services, modules::allModules(), {});
    gtk_window_set_child(GTK_WINDOW(window), controller.createWebView("file://" + page));
    controller.setWindow(GTK_WINDOW(window), nullptr, nullptr);
    gtk_window_present(GTK_WINDOW(window));
    WebKitWebView* view = controller.webView();
    spinUntil([&] { return !webkit_web_view_is_loading(view); }, 30);
    spinUntil([] { return false; }, 0.5);

    evaluate(view, kMidiScript);
    evaluate(view,
             "(async () => { await Lumetta.start(); "
             "Lumetta.on('dlk', 'connected', () => { window.__connected = '1'; }); "
             "await Lumetta.call('$$dlk_connect', '" +
                 sim.dictionary().dump() + "'); })()");
    if (pollValue(view, "__connected", 15).empty()) {
        std::fprintf(stderr, "link_bench: the page did not connect\n");
        return 1;
    }
    evaluate(view, "__runMidi(3000, 1000, '__paced')");
    auto paced = nlohmann::json::parse(pollValue(view, "__paced"));
    evaluate(view, "__runMidi(15000, 5000, '__fast')");
    auto fast = nlohmann::json::parse(pollValue(view, "__fast"));
    Echo native = nativeEcho(peer.dictionary(), 3000, 1000);

    // Audio: the page's connection carries 60 s each way at the device's pace.
    auto* streams = controller.intf().native().module<audio::LinkAudioStreams>();
    Source source;
    Sink sink(devsim::tonePeriod(441));
    auto& out = streams->linkOutputStream();
    auto& in = streams->linkInputStream();
    out.setDelegate(&source);
    in.setDelegate(&sink);
    // The floor: this process idling for 5 s with the page loaded and the link connected.
    const double idle0 = cpuSeconds();
    spinUntil([] { return false; }, 5);
    const double idleCpu = (cpuSeconds() - idle0) / 5;
    const double simCpu0 = processCpuSeconds(sim.pid());
    const double cpu0 = cpuSeconds();
    const auto t0 = Clock::now();
    out.start("");
    in.start("");
    spinUntil([] { return false; }, 60);
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = cpuSeconds() - cpu0;
    const double simCpu = processCpuSeconds(sim.pid()) - simCpu0;
    out.stop();
    in.stop(true);
    auto outClosed = sim.waitFor("output-closed", 0, std::chrono::seconds(10));
    const size_t underrunLines = sim.count("output-underrun");
    unsigned long long outBytes = 0;
    int underruns = -1;
    if (outClosed) std::sscanf(outClosed->c_str(), "output-closed %llu %d", &outBytes, &underruns);
    // The device's file must hold exactly the bytes the player gave, from the first on.
    std::ifstream file(wav, std::ios::binary);
    std::vector<char> data((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    uint64_t mismatches = 0;
    for (size_t i = 44; i < data.size(); ++i)
        if (uint8_t(data[i]) != patternByte(i - 44)) ++mismatches;
    const uint64_t fileBytes = data.size() > 44 ? data.size() - 44 : 0;

    std::printf(
        "midi page->device->page at 1000/s: %d of 3000 echoed, latency median %.3f ms, "
        "99th percentile %.3f ms, worst %.3f ms (goal: 99th percentile < 3 ms)\n",
        paced["received"].get<int>(), paced["median"].get<double>(), paced["p99"].get<double>(),
        paced["worst"].get<double>());
    std::printf(
        "  peer: the same echo without the page: median %.3f ms, 99th percentile %.3f ms; "
        "ratio page/native at the 99th percentile %.2f\n",
        native.median, native.p99, paced["p99"].get<double>() / std::max(native.p99, 1e-6));
    std::printf(
        "midi page->device->page at 5000/s: %d of 15000 echoed, in order: %s "
        "(goal: none lost)\n",
        fast["received"].get<int>(), fast["inOrder"].get<bool>() ? "yes" : "no");
    std::printf(
        "audio out, %.1f s at 44.1 kHz: device received %llu bytes (%.2f s), underruns %d "
        "(%zu reported), file bytes %llu, mismatches %llu (goal: none)\n",
        seconds, outBytes, outBytes / 176400.0, underruns, underrunLines,
        static_cast<unsigned long long>(fileBytes), static_cast<unsigned long long>(mismatches));
    std::printf(
        "audio in, %.1f s: received %llu bytes (%.2f s), longest gap %.1f ms, gaps over "
        "50 ms %d, wrong bytes %llu (goal: none)\n",
        seconds, static_cast<unsigned long long>(sink.bytes), sink.bytes / 176400.0, sink.maxGapMs,
        sink.longGaps, static_cast<unsigned long long>(sink.wrong));
    std::printf(
        "host CPU while streaming both ways: %.2f ms per second of audio (idle floor %.2f "
        "ms/s, so streaming costs %.2f ms/s); peer (the simulator) %.2f ms per second; "
        "ratio host/peer %.2f\n",
        cpu * 1000 / seconds, idleCpu * 1000, (cpu / seconds - idleCpu) * 1000,
        simCpu * 1000 / seconds, cpu / std::max(simCpu, 1e-6));
    gtk_window_destroy(GTK_WINDOW(window));
    return 0;
}
