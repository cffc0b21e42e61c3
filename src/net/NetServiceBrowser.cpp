#include "net/NetServiceBrowser.h"

namespace lumetta::net {

NetServiceBrowser::NetServiceBrowser(DnsSdClient& client) : client_(client) {}

NetServiceBrowser::~NetServiceBrowser() {
    closeRef();
}

void NetServiceBrowser::searchForServicesOfType(const std::string& type,
                                                const std::string& domain) {
    if (mainRef_) return;
    int32_t error = 0;
    mainRef_ = client_.createConnection(error);
    if (!mainRef_) {
        didNotSearch(error);
        return;
    }
    browseRef_ = mainRef_->browse(
        type, domain,
        [this](const DnsSdBrowseReply& reply) {
            if (reply.error) {
                didNotSearch(reply.error);
                return;
            }
            auto service = std::make_unique<NetService>(mainRef_.get(), reply.name, reply.type,
                                                        reply.domain, reply.interfaceIndex);
            if (reply.add)
                didFindService(std::move(service));
            else
                didRemoveService(*service);
        },
        error);
    if (!browseRef_) didNotSearch(error);
}

void NetServiceBrowser::stop() {
    closeRef();
    if (delegate) delegate->netServiceBrowserDidStopSearch(*this);
}

void NetServiceBrowser::closeRef() {
    browseRef_.reset();
    mainRef_.reset();
}

void NetServiceBrowser::didNotSearch(int32_t code) {
    closeRef();
    if (delegate) delegate->netServiceBrowserDidNotSearch(*this, code);
}

void NetServiceBrowser::didFindService(std::unique_ptr<NetService> service) {
    if (delegate) delegate->netServiceBrowserDidFindService(*this, std::move(service), false);
}

void NetServiceBrowser::didRemoveService(NetService& service) {
    if (delegate) delegate->netServiceBrowserDidRemoveService(*this, service, false);
}

}  // namespace lumetta::net
