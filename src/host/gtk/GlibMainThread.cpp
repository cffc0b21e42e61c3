#include "host/gtk/GlibMainThread.h"

#include <glib.h>
#include <syslog.h>

#include <exception>

namespace lumetta::host {

void GlibMainThread::post(std::function<void()> task) {
    auto* owned = new std::function<void()>(std::move(task));  // freed by the destroy notify
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            // An exception must not unwind through GLib's C frames; the task is lost, the
            // application goes on.
            try {
                (*static_cast<std::function<void()>*>(data))();
            } catch (const std::exception& e) {
                syslog(LOG_ERR, "main-thread task failed: %s", e.what());
            } catch (...) {
                syslog(LOG_ERR, "main-thread task failed");
            }
            return G_SOURCE_REMOVE;
        },
        owned, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

}  // namespace lumetta::host
