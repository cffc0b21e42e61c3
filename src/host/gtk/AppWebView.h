#pragma once

#include <webkit/webkit.h>

namespace lumetta::host {

class JavaScriptInterface;

/// Creates the application's web view on `content`, with its drag-and-drop rules: while the
/// page has not taken drops ($$app_dragdrop off), any drag is accepted and dropped files become
/// "open" events; while it has, dragged files are announced as the page's drop files and the
/// page's own handlers run. Call detachAppWebView before `intf` goes. Main thread.
WebKitWebView* createAppWebView(WebKitUserContentManager* content, JavaScriptInterface& intf);

/// Cuts the view's drag-and-drop handlers off from their interface: from now on they take no
/// drag and post nothing, however long the view (or a drop read under way) lives. Main thread.
void detachAppWebView(WebKitWebView* view);

}  // namespace lumetta::host
