#include "modules/http/HttpModule.h"

#include "bridge/BridgeError.h"
#include "bridge/NativeCall.h"
#include "bridge/Result.h"
#include "host/Locations.h"
#include "net/HTTPTask.h"
#include "net/NetText.h"

namespace lumetta::modules::http {

using bridge::Arg;

void _HTTPConnectionDelegate::connectionDidLoadData(uint32_t uid, int64_t expected,
                                                    int64_t amount) {
    native->postEvent(bridge::joinEvent({"http", "progress", std::to_string(uid),
                                         std::to_string(expected), std::to_string(amount)}));
}

void _HTTPConnectionDelegate::connectionDidFinishLoading(uint32_t uid, const std::string& file) {
    native->postEvent(bridge::joinEvent({"http", "completed", std::to_string(uid), file}));
}

void _HTTPConnectionDelegate::connectionErrorDidOccur(uint32_t uid, const std::string& url) {
    native->postEvent(bridge::joinEvent({"http", "error", std::to_string(uid), url}));
}

HttpModule::HttpModule(bridge::ModuleContext& context,
                       std::unique_ptr<net::HTTPTransferFactory> factory) {
    adapter_.native = &context.native;
    http_ = std::make_unique<net::HTTPConnection>(context.services.mainThread, std::move(factory),
                                                  host::temporaryDirectory().value_or(""));
    http_->setDelegate(&adapter_);
    auto* http = http_.get();
    context.functions.add("$$http_download::", [http](const Arg& url, const Arg& file) {
        return bridge::resultUInt(http->download(url, file));
    });
    context.functions.add("$$http_upload::", [http](const Arg& url, const Arg& file) {
        if (!file) throw bridge::BridgeError("no file to upload");
        return bridge::resultUInt(http->upload(url, *file));
    });
    context.functions.add("$$http_cancel::", [http](const Arg& number, const Arg&) {
        http->cancel(static_cast<uint32_t>(net::intValue(number)));
        return bridge::resultVoid();
    });
}

HttpModule::~HttpModule() {
    // Transfers go first: none may report to the adapter after it is gone.
    http_.reset();
}

bridge::ModuleDescriptor descriptor(
    std::function<std::unique_ptr<net::HTTPTransferFactory>()> makeFactory) {
    return {"http", 60,
            [makeFactory](bridge::ModuleContext& context) -> std::unique_ptr<bridge::Module> {
                return std::make_unique<HttpModule>(context, makeFactory());
            }};
}

bridge::ModuleDescriptor descriptor() {
    return descriptor([] { return std::make_unique<net::SoupTransferFactory>(); });
}

}  // namespace lumetta::modules::http
