#include "modules/tcpip/TcpipModule.h"

#include <syslog.h>

#include "bridge/EventQueue.h"
#include "bridge/NativeCall.h"
#include "bridge/NotificationCenter.h"
#include "bridge/Result.h"
#include "net/NetText.h"

namespace lumetta::modules::tcpip {

using bridge::Arg;

void ConnectionTable::insert(int number, std::shared_ptr<net::TCPIPClient> client) {
    std::lock_guard guard(lock_);
    clients_[number] = std::move(client);
}

std::shared_ptr<net::TCPIPClient> ConnectionTable::find(int number) {
    std::lock_guard guard(lock_);
    auto it = clients_.find(number);
    return it == clients_.end() ? nullptr : it->second;
}

bool ConnectionTable::retire(int number) {
    std::lock_guard guard(lock_);
    auto it = clients_.find(number);
    if (it == clients_.end()) return false;
    retired_.push_back(std::move(it->second));
    clients_.erase(it);
    return true;
}

void ConnectionTable::reap() {
    std::vector<std::shared_ptr<net::TCPIPClient>> ended;
    {
        std::lock_guard guard(lock_);
        ended.swap(retired_);
    }
    // Destroyed here, outside the lock: each joins its reader, which has finished its work.
}

std::vector<std::shared_ptr<net::TCPIPClient>> ConnectionTable::takeAll() {
    std::lock_guard guard(lock_);
    std::vector<std::shared_ptr<net::TCPIPClient>> all = std::move(retired_);
    retired_.clear();
    for (auto& [number, client] : clients_) all.push_back(std::move(client));
    clients_.clear();
    return all;
}

size_t ConnectionTable::size() {
    std::lock_guard guard(lock_);
    return clients_.size();
}

_TCPIPClientDelegate::_TCPIPClientDelegate(int number, std::shared_ptr<ConnectionTable> connections,
                                           bridge::NotificationCenter& center,
                                           bridge::MainThread& mainThread,
                                           bridge::EventQueue& pageQueue)
    : fd(number),
      connections_(std::move(connections)),
      center_(center),
      mainThread_(mainThread),
      pageQueue_(pageQueue) {}

void _TCPIPClientDelegate::received(const uint8_t* bytes, size_t size) {
    try {
        std::string number = std::to_string(fd);
        std::string hex = bridge::hexStringFromBytes(bytes, size);
        center_.post(bridge::note::postEvent, bridge::joinEvent({"tcpip", "read", number, hex}));
    } catch (const std::exception& e) {
        syslog(LOG_ERR, "tcpip read event of %d lost: %s", fd, e.what());
    }
}

bool _TCPIPClientDelegate::closed() {
    try {
        center_.post(bridge::note::postEvent,
                     bridge::joinEvent({"tcpip", "closed", std::to_string(fd)}));
    } catch (const std::exception& e) {
        syslog(LOG_ERR, "tcpip closed event of %d lost: %s", fd, e.what());
    }
    // The reader cannot join itself: the client is let go on the main thread, or by the
    // module's teardown if that comes first, so no reader outlives the module.
    if (connections_->retire(fd)) {
        mainThread_.post([table = std::weak_ptr<ConnectionTable>(connections_)] {
            if (auto live = table.lock()) live->reap();
        });
    }
    return true;
}

bool _TCPIPClientDelegate::mayReceive() {
    return pageQueue_.size() <= kMaxBacklog;
}

TcpipModule::TcpipModule(bridge::ModuleContext& context) {
    auto& services = context.services;
    auto& queue = context.native.queue();
    context.functions.add("$$tcpip_connect::", [table = connections_, &services, &queue](
                                                   const Arg& address, const Arg& port) {
        auto client = std::make_shared<net::TCPIPClient>();
        auto portNumber = static_cast<uint16_t>(static_cast<uint32_t>(net::intValue(port)));
        if (!address || !client->connect(*address, portNumber)) return bridge::resultInt(-1);
        int number = client->nativeSocket();
        client->setDelegate(std::make_shared<_TCPIPClientDelegate>(number, table, services.center,
                                                                   services.mainThread, queue));
        table->insert(number, client);
        client->start();
        return bridge::resultInt(number);
    });
    context.functions.add("$$tcpip_write::",
                          [table = connections_](const Arg& number, const Arg& hex) {
                              if (auto client = table->find(net::intValue(number))) {
                                  auto bytes = bridge::dataFromHexString(hex.value_or(""));
                                  client->send(bytes.data(), bytes.size());
                              }
                              return bridge::resultVoid();
                          });
    context.functions.add("$$tcpip_close::", [table = connections_](const Arg& number, const Arg&) {
        if (auto client = table->find(net::intValue(number))) client->close();
        return bridge::resultVoid();
    });
}

TcpipModule::~TcpipModule() {
    auto clients = connections_->takeAll();
    for (auto& client : clients) client->detach();
    // Each reader ends promptly now (ended ones already have); dropping the last reference
    // joins it.
    clients.clear();
}

bridge::ModuleDescriptor descriptor() {
    return {"tcpip", 40, [](bridge::ModuleContext& context) -> std::unique_ptr<bridge::Module> {
                return std::make_unique<TcpipModule>(context);
            }};
}

}  // namespace lumetta::modules::tcpip
