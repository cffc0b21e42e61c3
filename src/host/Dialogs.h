#pragma once

#include <gtk/gtk.h>
#include <webkit/webkit.h>

namespace lumetta::host {

/// Shows a page's alert ("OK") or confirm ("Cancel", "OK"; Cancel is the default) as a modal
/// dialog over `parent` and answers the page when it is dismissed. Main thread.
void showScriptDialog(GtkWindow* parent, WebKitScriptDialog* dialog);

/// Hands `uri` to the desktop's default application for it (a web address to the browser).
void openWithDefaultApplication(const char* uri);

}  // namespace lumetta::host
