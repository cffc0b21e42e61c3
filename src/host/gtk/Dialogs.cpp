#include "host/gtk/Dialogs.h"

#include <syslog.h>

#include "base/raii/GErrorPtr.h"
#include "base/raii/GObjectPtr.h"

namespace lumetta::host {

void showScriptDialog(GtkWindow* parent, WebKitScriptDialog* dialog) {
    bool confirm = webkit_script_dialog_get_dialog_type(dialog) == WEBKIT_SCRIPT_DIALOG_CONFIRM;
    // GtkMessageDialog is what this GTK offers for a plain modal message.
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    GtkWidget* box =
        gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER, GTK_BUTTONS_NONE, "%s",
                               webkit_script_dialog_get_message(dialog));
    if (confirm) gtk_dialog_add_button(GTK_DIALOG(box), "Cancel", GTK_RESPONSE_CANCEL);
    gtk_dialog_add_button(GTK_DIALOG(box), "OK", GTK_RESPONSE_OK);
    gtk_dialog_set_default_response(GTK_DIALOG(box),
                                    confirm ? GTK_RESPONSE_CANCEL : GTK_RESPONSE_OK);
    G_GNUC_END_IGNORE_DEPRECATIONS
    webkit_script_dialog_ref(dialog);
    g_signal_connect(
        box, "response", G_CALLBACK(+[](GtkWidget* widget, int response, gpointer data) {
            auto* d = static_cast<WebKitScriptDialog*>(data);
            if (webkit_script_dialog_get_dialog_type(d) == WEBKIT_SCRIPT_DIALOG_CONFIRM)
                webkit_script_dialog_confirm_set_confirmed(d, response == GTK_RESPONSE_OK);
            webkit_script_dialog_close(d);
            webkit_script_dialog_unref(d);
            gtk_window_destroy(GTK_WINDOW(widget));
        }),
        dialog);
    gtk_window_present(GTK_WINDOW(box));
}

void openWithDefaultApplication(const char* uri) {
    g_app_info_launch_default_for_uri_async(
        uri, nullptr, nullptr,
        [](GObject*, GAsyncResult* result, gpointer) {
            GError* error = nullptr;
            if (!g_app_info_launch_default_for_uri_finish(result, &error)) {
                raii::GErrorPtr owner(error);
                syslog(LOG_WARNING, "cannot open with the default application: %s", error->message);
            }
        },
        nullptr);
}

namespace {

void openRequest(WebKitNavigationAction* action) {
    const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    if (uri && *uri) openWithDefaultApplication(uri);
}

gboolean onNewWindowPolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                           WebKitPolicyDecisionType type, gpointer) {
    if (type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) return FALSE;
    openRequest(webkit_navigation_policy_decision_get_navigation_action(
        WEBKIT_NAVIGATION_POLICY_DECISION(decision)));
    webkit_policy_decision_ignore(decision);
    return TRUE;
}

GtkWidget* onCreate(WebKitWebView*, WebKitNavigationAction* action, gpointer) {
    openRequest(action);
    return nullptr;
}

}  // namespace

void sendNewWindowsToDefaultBrowser(WebKitWebView* view) {
    g_signal_connect(view, "decide-policy", G_CALLBACK(onNewWindowPolicy), nullptr);
    g_signal_connect(view, "create", G_CALLBACK(onCreate), nullptr);
}

}  // namespace lumetta::host
