#include "host/AppWebView.h"

#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "bridge/BridgeText.h"
#include "host/GObjectPtr.h"
#include "host/JavaScriptInterface.h"

namespace lumetta::host {

using namespace lumetta::bridge;

namespace {

std::vector<std::string> pathsOf(const GValue* value) {
    std::vector<std::string> paths;
    if (!value || !G_VALUE_HOLDS(value, GDK_TYPE_FILE_LIST)) return paths;
    auto* list = static_cast<GdkFileList*>(g_value_get_boxed(value));
    GSList* files = list ? gdk_file_list_get_files(list) : nullptr;
    for (GSList* f = files; f; f = f->next) {
        GCharPtr path(g_file_get_path(G_FILE(f->data)));
        if (path) paths.emplace_back(path.get());
    }
    g_slist_free(files);
    return paths;
}

// Drag-and-drop mode off: the window itself takes every drag, whatever the page says.
gboolean onAccept(GtkDropTarget*, GdkDrop*, gpointer data) {
    return !static_cast<JavaScriptInterface*>(data)->dragdrop();
}

gboolean onDrop(GtkDropTarget*, const GValue* value, double, double, gpointer data) {
    auto* intf = static_cast<JavaScriptInterface*>(data);
    NativeCall& native = intf->native();
    for (auto& path : pathsOf(value))
        native.services().center.post(note::postEvent, joinEvent({"app", "command", "open", path}),
                                      &native);
    return TRUE;  // reported as accepted in every case
}

// Drag-and-drop mode on: announce the dragged files as soon as the drag enters, without
// taking the drag from the page.
void onMotionEnter(GtkDropControllerMotion* motion, double, double, gpointer data) {
    auto* intf = static_cast<JavaScriptInterface*>(data);
    if (!intf->dragdrop()) return;
    GdkDrop* drop = gtk_drop_controller_motion_get_drop(motion);
    if (!drop || !gdk_content_formats_contain_gtype(gdk_drop_get_formats(drop), GDK_TYPE_FILE_LIST))
        return;
    NativeCall* native = &intf->native();
    gdk_drop_read_value_async(
        drop, GDK_TYPE_FILE_LIST, G_PRIORITY_DEFAULT, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer nativePtr) {
            const GValue* value = gdk_drop_read_value_finish(GDK_DROP(source), result, nullptr);
            auto paths = pathsOf(value);
            auto* n = static_cast<NativeCall*>(nativePtr);
            if (NativeCall::current() == nullptr) return;
            n->services().center.post(note::dropFiles, paths, n);
        },
        native);
}

}  // namespace

WebKitWebView* createAppWebView(WebKitUserContentManager* content, JavaScriptInterface& intf) {
    auto* view = WEBKIT_WEB_VIEW(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", content, nullptr));

    GtkDropTarget* target = gtk_drop_target_new(G_TYPE_INVALID, GDK_ACTION_COPY);
    GType types[] = {GDK_TYPE_FILE_LIST, G_TYPE_STRING};
    gtk_drop_target_set_gtypes(target, types, G_N_ELEMENTS(types));
    gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(target), GTK_PHASE_CAPTURE);
    g_signal_connect(target, "accept", G_CALLBACK(onAccept), &intf);
    g_signal_connect(target, "drop", G_CALLBACK(onDrop), &intf);
    gtk_widget_add_controller(GTK_WIDGET(view), GTK_EVENT_CONTROLLER(target));

    GtkEventController* motion = gtk_drop_controller_motion_new();
    g_signal_connect(motion, "enter", G_CALLBACK(onMotionEnter), &intf);
    gtk_widget_add_controller(GTK_WIDGET(view), motion);
    return view;
}

}  // namespace lumetta::host
