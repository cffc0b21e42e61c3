#include "host/gtk/AppWebView.h"

#include <gtk/gtk.h>

#include <memory>
#include <string>
#include <vector>

#include "base/raii/GCharPtr.h"
#include "base/raii/GObjectPtr.h"
#include "bridge/BridgeText.h"
#include "host/JavaScriptInterface.h"

namespace lumetta::host {

using namespace lumetta::bridge;

namespace {

// What the view's drop handlers reach the interface through. The view holds it; the
// interface's owner cuts it off (detachAppWebView) before the interface goes, since the view,
// and a drop read still under way, may outlive it.
struct DropSlot {
    JavaScriptInterface* intf = nullptr;
};
using DropSlotPtr = std::shared_ptr<DropSlot>;
constexpr const char* kDropSlotKey = "lumetta-drop-slot";

std::vector<std::string> pathsOf(const GValue* value) {
    std::vector<std::string> paths;
    if (!value || !G_VALUE_HOLDS(value, GDK_TYPE_FILE_LIST)) return paths;
    auto* list = static_cast<GdkFileList*>(g_value_get_boxed(value));
    GSList* files = list ? gdk_file_list_get_files(list) : nullptr;
    for (GSList* f = files; f; f = f->next) {
        raii::GCharPtr path(g_file_get_path(G_FILE(f->data)));
        if (path) paths.emplace_back(path.get());
    }
    g_slist_free(files);
    return paths;
}

// Drag-and-drop mode off: the window itself takes every drag, whatever the page says.
gboolean onAccept(GtkDropTarget*, GdkDrop*, gpointer data) {
    auto* intf = static_cast<DropSlot*>(data)->intf;
    return intf && !intf->dragdrop();
}

gboolean onDrop(GtkDropTarget*, const GValue* value, double, double, gpointer data) {
    auto* intf = static_cast<DropSlot*>(data)->intf;
    if (!intf) return FALSE;
    NativeCall& native = intf->native();
    for (auto& path : pathsOf(value))
        native.services().center.post(note::postEvent, joinEvent({"app", "command", "open", path}),
                                      &native);
    return TRUE;  // reported as accepted in every case
}

// Drag-and-drop mode on: announce the dragged files as soon as the drag enters, without
// taking the drag from the page.
void onMotionEnter(GtkDropControllerMotion* motion, double, double, gpointer data) {
    auto* slot = static_cast<DropSlot*>(data);
    if (!slot->intf || !slot->intf->dragdrop()) return;
    GdkDrop* drop = gtk_drop_controller_motion_get_drop(motion);
    if (!drop || !gdk_content_formats_contain_gtype(gdk_drop_get_formats(drop), GDK_TYPE_FILE_LIST))
        return;
    // The read finishes later: it holds the slot, and finds it cut off if the page went.
    GtkWidget* view = gtk_event_controller_get_widget(GTK_EVENT_CONTROLLER(motion));
    auto* held = static_cast<DropSlotPtr*>(g_object_get_data(G_OBJECT(view), kDropSlotKey));
    if (!held) return;
    gdk_drop_read_value_async(
        drop, GDK_TYPE_FILE_LIST, G_PRIORITY_DEFAULT, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer pending) {
            std::unique_ptr<DropSlotPtr> reading(static_cast<DropSlotPtr*>(pending));
            const GValue* value = gdk_drop_read_value_finish(GDK_DROP(source), result, nullptr);
            auto paths = pathsOf(value);
            JavaScriptInterface* intf = (*reading)->intf;
            if (!intf) return;
            NativeCall& native = intf->native();
            native.services().center.post(note::dropFiles, paths, &native);
        },
        new DropSlotPtr(*held));
}

}  // namespace

WebKitWebView* createAppWebView(WebKitUserContentManager* content, JavaScriptInterface& intf) {
    auto* view = WEBKIT_WEB_VIEW(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", content, nullptr));
    auto* held = new DropSlotPtr(std::make_shared<DropSlot>(DropSlot{&intf}));
    g_object_set_data_full(G_OBJECT(view), kDropSlotKey, held,
                           [](gpointer p) { delete static_cast<DropSlotPtr*>(p); });
    DropSlot* slot = held->get();  // lives as long as the view and its controllers

    GtkDropTarget* target = gtk_drop_target_new(G_TYPE_INVALID, GDK_ACTION_COPY);
    GType types[] = {GDK_TYPE_FILE_LIST, G_TYPE_STRING};
    gtk_drop_target_set_gtypes(target, types, G_N_ELEMENTS(types));
    gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(target), GTK_PHASE_CAPTURE);
    g_signal_connect(target, "accept", G_CALLBACK(onAccept), slot);
    g_signal_connect(target, "drop", G_CALLBACK(onDrop), slot);
    gtk_widget_add_controller(GTK_WIDGET(view), GTK_EVENT_CONTROLLER(target));

    GtkEventController* motion = gtk_drop_controller_motion_new();
    g_signal_connect(motion, "enter", G_CALLBACK(onMotionEnter), slot);
    gtk_widget_add_controller(GTK_WIDGET(view), motion);
    return view;
}

void detachAppWebView(WebKitWebView* view) {
    if (!view) return;
    if (auto* held = static_cast<DropSlotPtr*>(g_object_get_data(G_OBJECT(view), kDropSlotKey)))
        (*held)->intf = nullptr;
}

}  // namespace lumetta::host
