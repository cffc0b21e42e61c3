#pragma once

#include <webkit/webkit.h>

namespace lumetta::host {

class JavaScriptInterface;

/// Creates the application's web view on `content`, with its drag-and-drop rules: while the
/// page has not taken drops ($$app_dragdrop off), any drag is accepted and dropped files become
/// "open" events; while it has, dragged files are announced as the page's drop files and the
/// page's own handlers run. `intf` must outlive the view. Main thread.
WebKitWebView* createAppWebView(WebKitUserContentManager* content, JavaScriptInterface& intf);

}  // namespace lumetta::host
