#include "net/avahi/AvahiDnsSd.h"

#include <arpa/inet.h>
#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/defs.h>
#include <avahi-common/error.h>
#include <avahi-glib/glib-watch.h>
#include <glib.h>
#include <netinet/in.h>
#include <syslog.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <functional>
#include <list>
#include <utility>

#include "net/DnsSdError.h"

namespace lumetta::net {

static_assert(avahierr::InvalidServiceType == AVAHI_ERR_INVALID_SERVICE_TYPE);
static_assert(avahierr::Disconnected == AVAHI_ERR_DISCONNECTED);
static_assert(avahierr::NoDaemon == AVAHI_ERR_NO_DAEMON);
static_assert(avahierr::Timeout == AVAHI_ERR_TIMEOUT);
static_assert(avahierr::NotFound == AVAHI_ERR_NOT_FOUND);
static_assert(avahierr::InvalidArgument == AVAHI_ERR_INVALID_ARGUMENT);
static_assert(avahierr::DnsNotauth == AVAHI_ERR_DNS_NOTAUTH);

namespace {

// Avahi objects must not be freed while Avahi is inside one of their callbacks further up the
// stack (a browse failure ends the whole connection from inside the browser's callback). While
// any callback runs, frees wait for the next turn of the main loop.
int callbackDepth = 0;

void runOrDefer(std::function<void()> work) {
    if (callbackDepth == 0) {
        work();
        return;
    }
    auto* owned = new std::function<void()>(std::move(work));  // freed by the destroy notify
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()>*>(data))();
            return G_SOURCE_REMOVE;
        },
        owned, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

/// Marks a callback in progress and keeps exceptions out of Avahi's C code.
template <class F>
void inCallback(const char* what, F&& body) {
    ++callbackDepth;
    try {
        body();
    } catch (const std::exception& e) {
        syslog(LOG_ERR, "DNS-SD %s callback failed: %s", what, e.what());
    } catch (...) {
        syslog(LOG_ERR, "DNS-SD %s callback failed", what);
    }
    --callbackDepth;
}

/// The poll adapter and the client; shared by the connection and its operations, so that the
/// poll outlives every Avahi object and an operation knows whether the client freed it already.
struct Session {
    AvahiGLibPoll* poll = nullptr;
    AvahiClient* client = nullptr;  // null once freed: its operations went with it
    /// Browse replies of the running browses, told when the daemon goes away.
    std::list<std::function<void(int32_t)>*> failureListeners;

    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        if (client) avahi_client_free(client);
        if (poll) avahi_glib_poll_free(poll);
    }
};

int32_t clientError(const std::shared_ptr<Session>& session) {
    return dnssdErrorFromAvahi(session->client ? avahi_client_errno(session->client)
                                               : avahierr::Disconnected);
}

AvahiIfIndex avahiInterface(uint32_t interfaceIndex) {
    return interfaceIndex == 0 ? AVAHI_IF_UNSPEC : static_cast<AvahiIfIndex>(interfaceIndex);
}

uint32_t dnssdInterface(AvahiIfIndex interface) {
    return interface < 0 ? 0 : static_cast<uint32_t>(interface);
}

/// Where a C callback finds its reply; freed after the Avahi object it belongs to.
template <class Reply>
struct Slot {
    std::function<void(const Reply&)> reply;
    bool ended = false;
};

/// One Avahi lookup object of type T with its slot.
template <class T, class Reply>
class AvahiOperation final : public DnsSdOperation {
  public:
    using Free = int (*)(T*);
    AvahiOperation(std::shared_ptr<Session> session, std::unique_ptr<Slot<Reply>> slot, Free free)
        : session_(std::move(session)), slot_(std::move(slot)), free_(free) {}
    void adopt(T* object) { object_ = object; }
    ~AvahiOperation() override {
        slot_->ended = true;
        if (onEnd_) onEnd_();
        runOrDefer([session = session_, object = object_, free = free_,
                    slot = std::shared_ptr<Slot<Reply>>(std::move(slot_))] {
            if (session->client && object) free(object);
        });
    }
    std::function<void()> onEnd_;

  private:
    std::shared_ptr<Session> session_;
    std::unique_ptr<Slot<Reply>> slot_;
    Free free_;
    T* object_ = nullptr;
};

void browseCallback(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol,
                    AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                    AvahiLookupResultFlags, void* userdata) {
    auto* slot = static_cast<Slot<DnsSdBrowseReply>*>(userdata);
    inCallback("browse", [&] {
        if (slot->ended) return;
        DnsSdBrowseReply reply;
        switch (event) {
            case AVAHI_BROWSER_NEW:
            case AVAHI_BROWSER_REMOVE:
                reply.add = event == AVAHI_BROWSER_NEW;
                reply.name = name ? name : "";
                reply.type = type ? type : "";
                reply.domain = domain ? domain : "";
                reply.interfaceIndex = dnssdInterface(interface);
                break;
            case AVAHI_BROWSER_FAILURE:
                reply.error = dnssdErrorFromAvahi(
                    avahi_client_errno(avahi_service_browser_get_client(browser)));
                if (reply.error == 0) reply.error = dnssd::Unknown;
                break;
            default:
                return;  // cache exhausted, all for now: nothing to report
        }
        slot->reply(reply);
    });
}

void resolveCallback(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol,
                     AvahiResolverEvent event, const char*, const char*, const char*,
                     const char* hostName, const AvahiAddress*, uint16_t port, AvahiStringList*,
                     AvahiLookupResultFlags, void* userdata) {
    auto* slot = static_cast<Slot<DnsSdResolveReply>*>(userdata);
    inCallback("resolve", [&] {
        if (slot->ended) return;
        DnsSdResolveReply reply;
        if (event == AVAHI_RESOLVER_FOUND) {
            reply.target = hostName ? hostName : "";
            reply.port = port;  // Avahi hands it over in host byte order already
        } else {
            reply.error = dnssdErrorFromAvahi(
                avahi_client_errno(avahi_service_resolver_get_client(resolver)));
            if (reply.error == 0) reply.error = dnssd::Unknown;
        }
        slot->reply(reply);
    });
}

void addressCallback(AvahiRecordBrowser* browser, AvahiIfIndex, AvahiProtocol,
                     AvahiBrowserEvent event, const char*, uint16_t, uint16_t, const void* rdata,
                     size_t size, AvahiLookupResultFlags, void* userdata) {
    auto* slot = static_cast<Slot<DnsSdAddressReply>*>(userdata);
    inCallback("address", [&] {
        if (slot->ended) return;
        DnsSdAddressReply reply;
        if (event == AVAHI_BROWSER_FAILURE) {
            reply.error =
                dnssdErrorFromAvahi(avahi_client_errno(avahi_record_browser_get_client(browser)));
            if (reply.error == 0) reply.error = dnssd::Unknown;
        } else if (event == AVAHI_BROWSER_NEW || event == AVAHI_BROWSER_REMOVE) {
            if (size != 4 || !rdata) return;  // not an A record
            sockaddr_in in{};
            in.sin_family = AF_INET;
            std::memcpy(&in.sin_addr, rdata, 4);
            const auto* bytes = reinterpret_cast<const uint8_t*>(&in);
            reply.add = event == AVAHI_BROWSER_NEW;
            reply.address.assign(bytes, bytes + sizeof in);
        } else {
            return;
        }
        slot->reply(reply);
    });
}

class AvahiConnection final : public DnsSdConnection {
  public:
    explicit AvahiConnection(std::shared_ptr<Session> session) : session_(std::move(session)) {}

    ~AvahiConnection() override {
        session_->failureListeners.clear();
        runOrDefer([session = session_] {
            if (session->client) avahi_client_free(std::exchange(session->client, nullptr));
        });
    }

    DnsSdOperationPtr browse(const std::string& type, const std::string& domain,
                             std::function<void(const DnsSdBrowseReply&)> reply,
                             int32_t& error) override {
        auto slot = std::make_unique<Slot<DnsSdBrowseReply>>();
        slot->reply = std::move(reply);
        auto* rawSlot = slot.get();
        auto* browser = avahi_service_browser_new(
            session_->client, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, type.c_str(), domain.c_str(),
            static_cast<AvahiLookupFlags>(0), browseCallback, rawSlot);
        if (!browser) {
            error = clientError(session_);
            return nullptr;
        }
        auto op = std::make_unique<AvahiOperation<AvahiServiceBrowser, DnsSdBrowseReply>>(
            session_, std::move(slot), avahi_service_browser_free);
        op->adopt(browser);
        // The daemon going away ends the browse with the client's error.
        auto* listener = new std::function<void(int32_t)>([rawSlot](int32_t code) {
            if (rawSlot->ended) return;
            DnsSdBrowseReply failed;
            failed.error = code;
            rawSlot->reply(failed);
        });
        session_->failureListeners.push_back(listener);
        op->onEnd_ = [session = session_, listener] {
            session->failureListeners.remove(listener);
            delete listener;
        };
        return op;
    }

    DnsSdOperationPtr resolve(uint32_t interfaceIndex, const std::string& name,
                              const std::string& type, const std::string& domain,
                              std::function<void(const DnsSdResolveReply&)> reply,
                              int32_t& error) override {
        auto slot = std::make_unique<Slot<DnsSdResolveReply>>();
        slot->reply = std::move(reply);
        auto* resolver = avahi_service_resolver_new(
            session_->client, avahiInterface(interfaceIndex), AVAHI_PROTO_INET, name.c_str(),
            type.c_str(), domain.c_str(), AVAHI_PROTO_INET, AVAHI_LOOKUP_NO_ADDRESS,
            resolveCallback, slot.get());
        if (!resolver) {
            error = clientError(session_);
            return nullptr;
        }
        auto op = std::make_unique<AvahiOperation<AvahiServiceResolver, DnsSdResolveReply>>(
            session_, std::move(slot), avahi_service_resolver_free);
        op->adopt(resolver);
        return op;
    }

    DnsSdOperationPtr getAddrInfo(uint32_t interfaceIndex, const std::string& host,
                                  std::function<void(const DnsSdAddressReply&)> reply,
                                  int32_t& error) override {
        auto slot = std::make_unique<Slot<DnsSdAddressReply>>();
        slot->reply = std::move(reply);
        auto* browser = avahi_record_browser_new(session_->client, avahiInterface(interfaceIndex),
                                                 AVAHI_PROTO_INET, host.c_str(), AVAHI_DNS_CLASS_IN,
                                                 AVAHI_DNS_TYPE_A, static_cast<AvahiLookupFlags>(0),
                                                 addressCallback, slot.get());
        if (!browser) {
            error = clientError(session_);
            return nullptr;
        }
        auto op = std::make_unique<AvahiOperation<AvahiRecordBrowser, DnsSdAddressReply>>(
            session_, std::move(slot), avahi_record_browser_free);
        op->adopt(browser);
        return op;
    }

  private:
    std::shared_ptr<Session> session_;
};

void clientCallback(AvahiClient* client, AvahiClientState state, void* userdata) {
    auto* session = static_cast<Session*>(userdata);
    inCallback("client", [&] {
        if (state != AVAHI_CLIENT_FAILURE) return;
        int32_t code = dnssdErrorFromAvahi(avahi_client_errno(client));
        if (code == 0) code = dnssd::ServiceNotRunning;
        // A listener may end its own browse (and so leave the list) while it is told.
        auto listeners = session->failureListeners;
        for (auto* listener : listeners) {
            auto& live = session->failureListeners;
            if (std::find(live.begin(), live.end(), listener) != live.end()) (*listener)(code);
        }
    });
}

}  // namespace

std::unique_ptr<DnsSdConnection> AvahiDnsSdClient::createConnection(int32_t& error) {
    auto session = std::make_shared<Session>();
    session->poll = avahi_glib_poll_new(nullptr, G_PRIORITY_DEFAULT);
    if (!session->poll) {
        error = dnssd::NoMemory;
        return nullptr;
    }
    int avahiError = 0;
    session->client =
        avahi_client_new(avahi_glib_poll_get(session->poll), static_cast<AvahiClientFlags>(0),
                         clientCallback, session.get(), &avahiError);
    if (!session->client) {
        error = dnssdErrorFromAvahi(avahiError);
        if (error == 0) error = dnssd::Unknown;
        return nullptr;
    }
    return std::make_unique<AvahiConnection>(std::move(session));
}

}  // namespace lumetta::net
