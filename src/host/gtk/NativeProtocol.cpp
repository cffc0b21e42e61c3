#include "host/gtk/NativeProtocol.h"

#include <libsoup/soup.h>

#include <string>

#include "base/raii/GErrorPtr.h"
#include "base/raii/GObjectPtr.h"
#include "bridge/NativeCall.h"
#include "bridge/Result.h"
#include "host/TrustPolicy.h"

namespace lumetta::host {

using namespace lumetta::bridge;

namespace {

Arg header(SoupMessageHeaders* headers, const char* name) {
    const char* value = headers ? soup_message_headers_get_one(headers, name) : nullptr;
    return value ? Arg(value) : std::nullopt;
}

void answer(WebKitURISchemeRequest* request, const std::string& text) {
    GBytes* bytes = g_bytes_new(text.data(), text.size());
    raii::GObjectPtr<GInputStream> stream =
        raii::adopt(g_memory_input_stream_new_from_bytes(bytes));
    g_bytes_unref(bytes);
    raii::GObjectPtr<WebKitURISchemeResponse> response =
        raii::adopt(webkit_uri_scheme_response_new(stream.get(), static_cast<gint64>(text.size())));
    webkit_uri_scheme_response_set_status(response.get(), 200, "OK");
    webkit_uri_scheme_response_set_content_type(response.get(), "text/plain");
    SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    soup_message_headers_append(headers, "Cache-Control", "no-store");
    soup_message_headers_append(headers, "Access-Control-Allow-Origin", "*");
    webkit_uri_scheme_response_set_http_headers(response.get(), headers);  // takes ownership
    webkit_uri_scheme_request_finish_with_response(request, response.get());
}

void onRequest(WebKitURISchemeRequest* request, gpointer) {
    const char* path = webkit_uri_scheme_request_get_path(request);
    if (!path || std::string(path) != kNativeProtocolPath) {
        raii::GErrorPtr error(
            g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "Not a bridge call."));
        webkit_uri_scheme_request_finish_error(request, error.get());
        return;
    }
    NativeCall* native = NativeCall::current();
    if (!native) {
        answer(request, resultVoid());
        return;
    }
    // Another view (a child window, say) must not reach this page's bridge.
    WebKitWebView* view = webkit_uri_scheme_request_get_web_view(request);
    if (!view || g_object_get_data(G_OBJECT(view), kViewBridgeKey) != native) {
        answer(request, resultError("this page has no access to native functions"));
        return;
    }
    SoupMessageHeaders* headers = webkit_uri_scheme_request_get_http_headers(request);
    // A frame of another origin inside the page announces itself in the Origin field.
    auto* trust = static_cast<const TrustPolicy*>(g_object_get_data(G_OBJECT(view), kViewTrustKey));
    if (Arg origin = header(headers, "Origin");
        trust && origin && !trust->trustsOriginHeader(*origin)) {
        answer(request, resultError("requests from " + *origin +
                                    " are not trusted to use native functions"));
        return;
    }
    answer(request, native->dispatchHeaders(header(headers, "method"), header(headers, "arg1"),
                                            header(headers, "arg2")));
}

}  // namespace

void registerNativeProtocol(WebKitWebContext* context) {
    webkit_web_context_register_uri_scheme(context, kNativeProtocolScheme, onRequest, nullptr,
                                           nullptr);
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, kNativeProtocolScheme);
}

}  // namespace lumetta::host
