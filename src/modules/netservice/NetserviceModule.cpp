#include "modules/netservice/NetserviceModule.h"

#include <syslog.h>

#include "bridge/Result.h"

namespace lumetta::modules::netservice {

using namespace lumetta::bridge;

std::string resolvedEvent(const std::string& name, const std::string& address, int64_t port) {
    nlohmann::json record = {{"name", name}, {"address", address}, {"port", port}};
    auto text = jsonStringFromObject(record);
    // A name that is not UTF-8 cannot be written as JSON text; keep what can be shown.
    if (!text) text = record.dump(4, ' ', false, nlohmann::json::error_handler_t::replace);
    return joinEvent({"netservice", "resolved", *text});
}

std::string lostEvent(const std::string& name) {
    return joinEvent({"netservice", "lost", name});
}

std::string stoppedEvent(int32_t code) {
    return joinEvent({"netservice", "stopped", code == 0 ? std::string() : std::to_string(code)});
}

void _NetServiceDiscoveryDelegate::netServiceDidResolve(const std::string& name,
                                                        const std::string& address, int64_t port) {
    native->postEvent(resolvedEvent(name, address, port));
}

void _NetServiceDiscoveryDelegate::netServiceDidRemoveService(const std::string& name) {
    native->postEvent(lostEvent(name));
}

void _NetServiceDiscoveryDelegate::netServiceDidStopSearch(int32_t code) {
    native->postEvent(stoppedEvent(code));
    if (didStop) didStop();
}

NetserviceModule::NetserviceModule(ModuleContext& ctx, ClientFactory factory)
    : mainThread_(ctx.services.mainThread), factory_(std::move(factory)) {
    adapter_.native = &ctx.native;
    adapter_.didStop = [this] { requested_ = false; };
    ctx.functions.add("$$netservice_search::", [this](const Arg& type, const Arg&) {
        return resultBool(search(type.value_or("")));
    });
    ctx.functions.add("$$netservice_stop::", [this](const Arg&, const Arg&) {
        stop();
        return resultVoid();
    });
}

NetserviceModule::~NetserviceModule() {
    // Torn down without a stopped event: the page is going away.
    if (discovery_) discovery_->delegate = nullptr;
    discovery_.reset();
    client_.reset();
}

bool NetserviceModule::search(const std::string& type) {
    if (requested_.exchange(true)) return false;
    auto start = [this, type] {
        if (!discovery_) {
            client_ = factory_();
            discovery_ = std::make_unique<net::NetServiceDiscovery>(*client_);
            discovery_->delegate = &adapter_;
        }
        discovery_->searchForServicesOfType(type);
    };
    if (mainThread_.isCurrent()) {
        start();
    } else {
        mainThread_.post([watch = alive_.watch(), start] {
            if (watch.expired()) return;
            try {
                start();
            } catch (const std::exception& e) {
                syslog(LOG_ERR, "netservice search failed: %s", e.what());
            }
        });
    }
    return true;
}

void NetserviceModule::stop() {
    auto work = [this] {
        if (discovery_) discovery_->stop();
    };
    if (mainThread_.isCurrent()) {
        work();
        return;
    }
    mainThread_.post([watch = alive_.watch(), work] {
        if (watch.expired()) return;
        try {
            work();
        } catch (const std::exception& e) {
            syslog(LOG_ERR, "netservice stop failed: %s", e.what());
        }
    });
}

ModuleDescriptor descriptor(NetserviceModule::ClientFactory factory) {
    // Torn down after Bluetooth and the extra MIDI clients, before TCP connections.
    return {"netservice", 30, [factory](ModuleContext& ctx) {
                return std::make_unique<NetserviceModule>(ctx, factory);
            }};
}

}  // namespace lumetta::modules::netservice
