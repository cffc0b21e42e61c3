#pragma once

// What the in-process window tests share: GTK set up once with every proxy off (all traffic
// stays on loopback), services of doubles on the real main loop, and a way to wait on it.

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <chrono>
#include <cstdlib>
#include <functional>

#include "bridge/Services.h"
#include "host/gtk/GlibMainThread.h"
#include "support/TestServices.h"

namespace lumetta::test {

inline void initDisplayOnce() {
    static bool done = [] {
        for (const char* name :
             {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"})
            unsetenv(name);
        gtk_init();
        webkit_network_session_set_proxy_settings(webkit_network_session_get_default(),
                                                  WEBKIT_NETWORK_PROXY_MODE_NO_PROXY, nullptr);
        return true;
    }();
    (void)done;
}

/// Runs the default main context until `done` holds or `timeout` passes; returns `done()`.
inline bool runUntil(const std::function<bool()>& done,
                     std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    guint tick = g_timeout_add(
        20, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    while (!done() && std::chrono::steady_clock::now() < deadline)
        g_main_context_iteration(nullptr, TRUE);
    g_source_remove(tick);
    return done();
}

/// Lets the main loop run for `period`.
inline void runFor(std::chrono::milliseconds period) {
    runUntil([] { return false; }, period);
}

/// Services whose main thread is the real GLib one; construct on the main thread.
struct WindowServices {
    host::GlibMainThread mainThread;
    bridge::NotificationCenter center;
    MemoryStore store;
    RecordingApplication application;
    bridge::Services services{mainThread, center, store, application};
};

}  // namespace lumetta::test
