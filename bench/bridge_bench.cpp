// Bridge speed in the real page under a real display: prompt-channel and message-channel round
// trips, and event throughput from a native thread, with a bare prompt hook as the floor.
// Run with scripts/with-display.sh (make bench).

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridge/NotificationCenter.h"
#include "bridge/Result.h"
#include "host/gtk/GlibMainThread.h"
#include "host/gtk/WebViewController.h"
#include "midi/ServiceSelection.h"
#include "modules/Modules.h"
#include "support/NullServices.h"

using namespace lumetta;

namespace {

// Runs the main loop, blocking between events (a busy loop would steal a core from the web
// process), until `done` or the time is up.
void spinUntil(const std::function<bool()>& done, double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    guint tick = g_timeout_add(
        1, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    while (!done() && std::chrono::steady_clock::now() < end)
        g_main_context_iteration(nullptr, TRUE);
    g_source_remove(tick);
}

// Evaluates `script` in `view` and waits for its value as text ("" for none).
std::string evaluate(WebKitWebView* view, const std::string& script) {
    struct Out {
        std::string value;
        bool done = false;
    } out;
    webkit_web_view_evaluate_javascript(
        view, script.c_str(), -1, nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* o = static_cast<Out*>(data);
            if (JSCValue* v = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source),
                                                                         result, nullptr)) {
                if (!jsc_value_is_undefined(v)) {
                    char* text = jsc_value_to_string(v);
                    o->value = text ? text : "";
                    g_free(text);
                }
                g_object_unref(v);
            }
            o->done = true;
        },
        &out);
    spinUntil([&] { return out.done; }, 60);
    return out.value;
}

// Evaluates `expression` until it yields a non-empty value, then clears the variable it names.
double pollNumber(WebKitWebView* view, const std::string& variable, double seconds = 180) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        std::string v = evaluate(view, "window." + variable + " || ''");
        if (!v.empty()) {
            evaluate(view, "window." + variable + " = ''");
            return std::stod(v);
        }
        spinUntil([] { return false; }, 0.02);
    }
    return -1;
}

// MIDI in the real page: the page acknowledges every "message" event over the prompt channel,
// and this module notes when. Ids travel in the two data bytes of a note-on.
struct Acks {
    using Clock = std::chrono::steady_clock;
    std::mutex lock;
    std::vector<Clock::time_point> sent, acked;
    void reset(size_t n) {
        std::lock_guard guard(lock);
        sent.assign(n, {});
        acked.assign(n, {});
    }
};
Acks acks;

class AckModule final : public bridge::Module {
  public:
    explicit AckModule(bridge::ModuleContext& ctx) {
        ctx.functions.add("$$bench_ack::", [](const bridge::Arg& hex, const bridge::Arg&) {
            auto now = Acks::Clock::now();
            auto bytes = bridge::dataFromHexString(hex.value_or(""));
            if (bytes.size() == 3) {
                size_t id = static_cast<size_t>(bytes[1]) << 7 | bytes[2];
                std::lock_guard guard(acks.lock);
                if (id < acks.acked.size() && acks.acked[id] == Acks::Clock::time_point{})
                    acks.acked[id] = now;
            }
            return bridge::resultVoid();
        });
    }
};

struct MidiRun {
    size_t received = 0;
    double medianMs = 0, p99Ms = 0, worstMs = 0;
};

// Sends `count` note-ons at `rate` a second from a native thread through $$midi_send.
MidiRun runMidi(bridge::NativeCall& native, size_t count, double rate) {
    acks.reset(count);
    std::thread sender([&] {
        auto start = Acks::Clock::now();
        for (size_t i = 0; i < count; ++i) {
            std::this_thread::sleep_until(start + std::chrono::duration_cast<Acks::Clock::duration>(
                                                      std::chrono::duration<double>(i / rate)));
            uint8_t bytes[3] = {0x90, static_cast<uint8_t>(i >> 7 & 0x7F),
                                static_cast<uint8_t>(i & 0x7F)};
            {
                std::lock_guard guard(acks.lock);
                acks.sent[i] = Acks::Clock::now();
            }
            native.call("$$midi_send", bridge::hexStringFromBytes(bytes, 3), std::nullopt);
        }
    });
    spinUntil([] { return false; }, count / rate + 1.5);
    sender.join();
    spinUntil([] { return false; }, 0.5);
    MidiRun run;
    std::vector<double> latencies;
    std::lock_guard guard(acks.lock);
    for (size_t i = 0; i < count; ++i) {
        if (acks.acked[i] == Acks::Clock::time_point{}) continue;
        latencies.push_back(
            std::chrono::duration<double, std::milli>(acks.acked[i] - acks.sent[i]).count());
    }
    run.received = latencies.size();
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        run.medianMs = latencies[latencies.size() / 2];
        run.p99Ms = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
        run.worstMs = latencies.back();
    }
    return run;
}

const char* kPromptLoop = R"JS(
(function () {
  const n = 20000;
  for (let i = 0; i < 500; i++) prompt('$$store_query');
  const t0 = performance.now();
  for (let i = 0; i < n; i++) prompt('$$store_query');
  window.__promptUs = String((performance.now() - t0) * 1000 / n);
})();
)JS";

}  // namespace

int main(int argc, char** argv) {
    gtk_init();
    (void)argc;
    (void)argv;
    std::string dir = g_get_tmp_dir() + std::string("/lumetta-bench-page");
    g_mkdir_with_parents(dir.c_str(), 0700);
    std::string page = dir + "/bench.html";
    std::ofstream(page) << "<!DOCTYPE html><html><head><meta charset='utf-8'>"
                           "<script>window.lumettaManualStart = true;</script>"
                           "<script src='file://" LUMETTA_SOURCE_RESOURCES
                           "/html/lumetta.js'></script>"
                           "</head><body>bench</body></html>";

    host::GlibMainThread mainThread;
    test::NullStore store;
    test::NullApplication application;
    bridge::Services services{mainThread, bridge::NotificationCenter::defaultCenter(), store,
                              application};

    // The floor: a bare web view whose prompt hook answers at once and does nothing else, and
    // whose message handler answers by evaluating the page's callback.
    GtkWidget* bareWindow = gtk_window_new();
    WebKitUserContentManager* bareContent = webkit_user_content_manager_new();
    webkit_user_content_manager_register_script_message_handler(bareContent, "m", nullptr);
    auto* bare = WEBKIT_WEB_VIEW(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", bareContent, nullptr));
    g_signal_connect(bareContent, "script-message-received::m",
                     G_CALLBACK(+[](WebKitUserContentManager*, JSCValue*, gpointer view) {
                         webkit_web_view_evaluate_javascript(WEBKIT_WEB_VIEW(view),
                                                             "window.__cb('v')", -1, nullptr,
                                                             nullptr, nullptr, nullptr, nullptr);
                     }),
                     bare);
    g_signal_connect(bare, "script-dialog",
                     G_CALLBACK(+[](WebKitWebView*, WebKitScriptDialog* d, gpointer) -> gboolean {
                         if (webkit_script_dialog_get_dialog_type(d) != WEBKIT_SCRIPT_DIALOG_PROMPT)
                             return FALSE;
                         webkit_script_dialog_prompt_set_text(d, "v");
                         return TRUE;
                     }),
                     nullptr);
    gtk_window_set_child(GTK_WINDOW(bareWindow), GTK_WIDGET(bare));
    gtk_window_present(GTK_WINDOW(bareWindow));
    webkit_web_view_load_uri(bare, ("file://" + page).c_str());

    GtkWidget* window = gtk_window_new();
    midi::forceVirtualService(true);
    auto modules = modules::allModules();
    modules.push_back({"bench", 100, [](bridge::ModuleContext& ctx) {
                           return std::make_unique<AckModule>(ctx);
                       }});
    host::WebViewController controller(services, modules, {});
    gtk_window_set_child(GTK_WINDOW(window), controller.createWebView("file://" + page));
    controller.setWindow(GTK_WINDOW(window), nullptr, nullptr);
    gtk_window_present(GTK_WINDOW(window));

    spinUntil(
        [&] {
            return !webkit_web_view_is_loading(bare) &&
                   !webkit_web_view_is_loading(controller.webView());
        },
        30);
    spinUntil([] { return false; }, 0.5);

    // Prompt round trip, bridge and floor interleaved three times; best of each.
    WebKitWebView* view = controller.webView();
    double bridgePrompt = 1e9, floorPrompt = 1e9;
    for (int round = 0; round < 3; ++round) {
        evaluate(bare, kPromptLoop);
        floorPrompt = std::min(floorPrompt, pollNumber(bare, "__promptUs"));
        evaluate(view, kPromptLoop);
        bridgePrompt = std::min(bridgePrompt, pollNumber(view, "__promptUs"));
    }

    // Message round trip, call to callback: the bare handler that evaluates the callback is the
    // floor.
    evaluate(bare, R"JS(
(async function () {
  const n = 5000;
  const once = () => new Promise((resolve) => { window.__cb = resolve; window.webkit.messageHandlers.m.postMessage('x'); });
  for (let i = 0; i < 200; i++) await once();
  const t0 = performance.now();
  for (let i = 0; i < n; i++) await once();
  window.__messageUs = String((performance.now() - t0) * 1000 / n);
})();
)JS");
    double floorMessage = pollNumber(bare, "__messageUs");

    // Message round trip: call to callback, one at a time.
    controller.postJavaScriptFunction(R"JS(
(async function () {
  const n = 5000;
  for (let i = 0; i < 200; i++) await Lumetta.call('$$store_query');
  const t0 = performance.now();
  for (let i = 0; i < n; i++) await Lumetta.call('$$store_query');
  window.__messageUs = String((performance.now() - t0) * 1000 / n);
})();
)JS");
    double messageUs = pollNumber(view, "__messageUs");

    // MIDI: bytes from the virtual loopback's receive thread to the page's dispatch.
    evaluate(view, R"JS(
(async function () {
  window.__ack = true; window.__midiCount = 0; window.__midiInOrder = true;
  Lumetta.on('midi', 'message', (fields) => {
    if (window.__ack) { prompt('$$bench_ack\f' + fields[0]); return; }
    const id = parseInt(fields[0].slice(2, 4), 16) << 7 | parseInt(fields[0].slice(4, 6), 16);
    if (id !== window.__midiCount % 16384) window.__midiInOrder = false;
    window.__midiCount++;
  });
  await Lumetta.call('$$app_startevent', '1');
  const loop = (e) => Object.values(e).some((v) => String(v).includes('Lumetta Loopback'));
  const ins = JSON.parse((await Lumetta.call('$$midi_inendpoints')).value);
  const outs = JSON.parse((await Lumetta.call('$$midi_outendpoints')).value);
  await Lumetta.call('$$midi_inconnect', JSON.stringify(ins.find(loop)));
  await Lumetta.call('$$midi_outconnect', JSON.stringify(outs.find(loop)));
  window.__midiReady = '1';
})();
)JS");
    pollNumber(view, "__midiReady");
    MidiRun paced = runMidi(controller.intf().native(), 3000, 1000);
    // Loss at 10,000 short messages a second: the page only counts and checks the order.
    evaluate(view, "window.__ack = false");
    MidiRun fast = runMidi(controller.intf().native(), 15000, 10000);
    fast.received = static_cast<size_t>(pollNumber(view, "__midiCount"));
    std::string fastInOrder = evaluate(view, "String(window.__midiInOrder)");
    evaluate(view, "Lumetta.call('$$app_startevent', '0')");
    spinUntil([] { return false; }, 0.2);

    // Event throughput: a native thread posts, the page counts and checks the order.
    controller.postJavaScriptFunction(R"JS(
window.__count = 0; window.__inOrder = true;
window.$event.dispatch = function (raw) {
  if (!raw.startsWith('bench\f')) return;  // start-up events of the modules
  const i = Number(raw.slice(raw.lastIndexOf('\f') + 1));
  if (i !== window.__count) window.__inOrder = false;
  window.__count++;
};
)JS");
    controller.callJavaScriptFunction("1");
    bridge::NativeCall& native = controller.intf().native();
    native.setEvent(true);
    constexpr int kEvents = 300000;
    auto t0 = std::chrono::steady_clock::now();
    std::thread producer([&] {
        for (int i = 0; i < kEvents; ++i) native.postEvent("bench\ftick\f" + std::to_string(i));
    });
    std::string counted;
    while (true) {
        counted = controller.callJavaScriptFunction("String(window.__count)").value_or("");
        if (counted == std::to_string(kEvents)) break;
        spinUntil([] { return false; }, 0.002);
        if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(120)) break;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    producer.join();
    std::string inOrder =
        controller.callJavaScriptFunction("String(window.__inOrder)").value_or("?");

    std::printf(
        "prompt round trip:  bridge %.1f us, bare prompt hook %.1f us, ratio %.2f (goal <= 1.30)\n",
        bridgePrompt, floorPrompt, bridgePrompt / floorPrompt);
    std::printf(
        "message round trip: bridge %.1f us, bare handler evaluating the callback %.1f us, ratio "
        "%.2f "
        "(goal < 200 us)\n",
        messageUs, floorMessage, messageUs / floorMessage);
    std::printf(
        "events:             %s of %d delivered in %.3f s = %.0f events/s, in order: %s (goal >= "
        "100000/s)\n",
        counted.c_str(), kEvents, seconds, kEvents / seconds, inOrder.c_str());
    std::printf(
        "midi to page at 1000/s: %zu of 3000 received, latency median %.3f ms, 99th percentile "
        "%.3f ms, "
        "worst %.3f ms (goal: 99th percentile < 2 ms)\n",
        paced.received, paced.medianMs, paced.p99Ms, paced.worstMs);
    std::printf("midi to page at 10000/s: %zu of 15000 received, in order: %s (goal: none lost)\n",
                fast.received, fastInOrder.c_str());
    std::printf(
        "(MIDI latency includes the page's acknowledgement over the prompt channel, about half a "
        "prompt "
        "round trip)\n");
    gtk_window_destroy(GTK_WINDOW(window));
    gtk_window_destroy(GTK_WINDOW(bareWindow));
    return 0;
}
