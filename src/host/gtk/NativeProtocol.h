#pragma once

#include <webkit/webkit.h>

namespace lumetta::host {

/// The URL scheme of the in-process call protocol.
inline constexpr const char* kNativeProtocolScheme = "lumetta";
/// The one path the protocol answers; requests carry the call in the header fields "method",
/// "arg1" and "arg2" (the arguments percent-encoded).
inline constexpr const char* kNativeProtocolPath = "/!lumetta";
/// The web view's object data that names the bridge of its page (a bridge::NativeCall*).
inline constexpr const char* kViewBridgeKey = "lumetta-bridge";
/// The web view's object data that names its page's trusted origins (a host::TrustPolicy*).
inline constexpr const char* kViewTrustKey = "lumetta-trust";

/// Lets pages of `context` call bridge functions in-process: a request for
/// lumetta://<anything>/!lumetta runs through the current bridge and is answered with the result
/// as plain text; a request from a view that does not show that bridge's page, or from a frame
/// whose Origin the view does not trust, answers "e". Not
/// registered at launch; one call turns it on. Main thread.
void registerNativeProtocol(WebKitWebContext* context);

}  // namespace lumetta::host
