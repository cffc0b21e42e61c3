#include "BenchSupport.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "base/Scheduling.h"

namespace lumetta::bench {

using Clock = std::chrono::steady_clock;

void spinUntil(const std::function<bool()>& done, double seconds) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    guint tick = g_timeout_add(
        1, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    while (!done() && Clock::now() < end) g_main_context_iteration(nullptr, TRUE);
    g_source_remove(tick);
}

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

std::string pollValue(WebKitWebView* view, const std::string& variable, double seconds) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        std::string v = evaluate(view, "window." + variable + " || ''");
        if (!v.empty()) return v;
        spinUntil([] { return false; }, 0.02);
    }
    return "";
}

CpuHog::CpuHog() {
    pid_ = fork();
    if (pid_ == 0) {
        // Only system calls after fork. Another program would not have our short slice.
        base::restoreDefaultTimeSlice();
        // Spin until killed.
        volatile unsigned long n = 0;
        for (;;) n = n + 1;
    }
}

CpuHog::~CpuHog() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

double percentile(const std::vector<double>& sorted, double fraction) {
    if (sorted.empty()) return 0;
    size_t i = static_cast<size_t>(static_cast<double>(sorted.size()) * fraction);
    return sorted[std::min(sorted.size() - 1, i)];
}

}  // namespace lumetta::bench
