#include "net/NetService.h"

#include <syslog.h>

namespace lumetta::net {

NetService::NetService(DnsSdConnection* mainRef, std::string name, std::string type,
                       std::string domain, uint32_t interfaceIndex)
    : mainRef_(mainRef),
      interfaceIndex_(interfaceIndex),
      name_(std::move(name)),
      type_(std::move(type)),
      domain_(std::move(domain)) {}

void NetService::resolveWithTimeout(double /*seconds*/) {
    resolveRef_.reset();
    if (!mainRef_) return;
    int32_t error = 0;
    resolveRef_ = mainRef_->resolve(
        interfaceIndex_, name_, type_, domain_,
        [this](const DnsSdResolveReply& reply) {
            if (reply.error)
                didNotResolve(reply.error);
            else
                didResolvePort(reply.port, reply.target);
        },
        error);
    if (!resolveRef_) didNotResolve(error);
}

void NetService::stop() {
    addressRef_.reset();
    resolveRef_.reset();
}

void NetService::didResolvePort(uint16_t port, const std::string& target) {
    port_ = port;
    addressRef_.reset();
    int32_t error = 0;
    addressRef_ = mainRef_->getAddrInfo(
        interfaceIndex_, target,
        [this](const DnsSdAddressReply& reply) {
            if (reply.error)
                didNotResolve(reply.error);
            else if (reply.add)
                didResolveAddress(reply.address);
        },
        error);
    if (!addressRef_) didNotResolve(error);
}

void NetService::didResolveAddress(const std::vector<uint8_t>& address) {
    addresses_ = {address};
    if (delegate) delegate->netServiceDidResolveAddress(*this);
}

void NetService::didNotResolve(int32_t code) {
    syslog(LOG_INFO, "NetService didNotResolve:error = %d", code);
}

}  // namespace lumetta::net
