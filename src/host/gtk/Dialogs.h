#pragma once

#include <gtk/gtk.h>
#include <webkit/webkit.h>

namespace lumetta::host {

/// Shows a page's alert ("OK") or confirm ("Cancel", "OK"; Cancel is the default) as a modal
/// dialog over `parent` and answers the page when it is dismissed. Main thread.
void showScriptDialog(GtkWindow* parent, WebKitScriptDialog* dialog);

/// Hands `uri` to the desktop's default application for it (a web address to the browser).
void openWithDefaultApplication(const char* uri);

/// Sends the new-window requests of `view` (links with a target, window.open()) to the default
/// browser; the page gets no window. Connect before any other "decide-policy" handler of the
/// view, which then sees every other decision. Main thread.
void sendNewWindowsToDefaultBrowser(WebKitWebView* view);

}  // namespace lumetta::host
