// Runs inside every web process of the application. The host cannot tell which frame sent a
// prompt() or a script message (the engine hands it only the text), so a frame of another
// origin inside a trusted page could reach the bridge through them. Here, where frames are
// known, such a frame loses both before any of its scripts runs: prompt() answers "e" and
// window.webkit.messageHandlers is gone. Frames of the main frame's origin keep them.

#include <webkit/webkit-web-process-extension.h>

#include <string>

#include "base/Scheduling.h"
#include "host/TrustPolicy.h"

namespace {

using lumetta::host::originOf;

// What a refused frame's prompt() returns: the bridge's error result, so callers see "e".
char* refusedPrompt(GPtrArray*, gpointer) {
    return g_strdup("ethis frame is not of the page's origin and may not use native functions");
}

bool sameOrigin(const char* frameUri, const char* pageUri) {
    auto frame = originOf(frameUri ? frameUri : "");
    auto page = originOf(pageUri ? pageUri : "");
    return frame && page && *frame == *page;
}

void guardFrame(WebKitScriptWorld* world, WebKitWebPage* page, WebKitFrame* frame, gpointer) {
    if (webkit_frame_is_main_frame(frame)) return;  // the host decides about the main frame
    if (sameOrigin(webkit_frame_get_uri(frame), webkit_web_page_get_uri(page))) return;
    JSCContext* context = webkit_frame_get_js_context_for_script_world(frame, world);
    if (!context) return;
    JSCValue* window = jsc_context_get_global_object(context);
    JSCValue* prompt = jsc_value_new_function_variadic(context, "prompt", G_CALLBACK(refusedPrompt),
                                                       nullptr, nullptr, G_TYPE_STRING);
    // Neither writable nor configurable: the frame's scripts cannot put the originals back.
    jsc_value_object_define_property_data(window, "prompt", JSC_VALUE_PROPERTY_ENUMERABLE, prompt);
    // window.webkit itself is read-only; its message handlers are taken from the namespace and
    // from the namespace's prototype, where the frame could otherwise find the getter again.
    JSCValue* nothing = jsc_value_new_undefined(context);
    JSCValue* webkit = jsc_value_object_get_property(window, "webkit");
    if (jsc_value_is_object(webkit)) {
        JSCValue* prototype = jsc_value_object_get_property(webkit, "__proto__");
        for (JSCValue* holder : {prototype, webkit}) {
            if (jsc_value_is_object(holder))
                jsc_value_object_define_property_data(holder, "messageHandlers",
                                                      JSC_VALUE_PROPERTY_ENUMERABLE, nothing);
        }
        g_object_unref(prototype);
    }
    g_object_unref(webkit);
    if (JSCException* exception = jsc_context_get_exception(context)) {
        g_warning("frame of %s keeps its bridge channels: %s", webkit_frame_get_uri(frame),
                  jsc_exception_get_message(exception));
        jsc_context_clear_exception(context);
    }
    g_object_unref(nothing);
    g_object_unref(prompt);
    g_object_unref(window);
    g_object_unref(context);
}

}  // namespace

extern "C" G_MODULE_EXPORT void webkit_web_process_extension_initialize(
    WebKitWebProcessExtension*) {
    // The page's scripts run on this thread: events and MIDI reach the page only as fast as
    // it wakes on a busy machine.
    lumetta::base::requestShortTimeSlice();
    g_signal_connect(webkit_script_world_get_default(), "window-object-cleared",
                     G_CALLBACK(guardFrame), nullptr);
}
