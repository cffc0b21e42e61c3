#include "host/GlibMainThread.h"

#include <glib.h>

namespace lumetta::host {

void GlibMainThread::post(std::function<void()> task) {
    auto* owned = new std::function<void()>(std::move(task));  // freed by the destroy notify
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()>*>(data))();
            return G_SOURCE_REMOVE;
        },
        owned, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

}  // namespace lumetta::host
