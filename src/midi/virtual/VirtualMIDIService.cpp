#include "midi/virtual/VirtualMIDIService.h"

#include <algorithm>
#include <cerrno>

#include "base/Scheduling.h"
#include "midi/Timestamp.h"
#include "midi/UniqueID.h"

namespace lumetta::midi {

// ---- VirtualMIDISystem -------------------------------------------------------------------------

std::shared_ptr<VirtualMIDISystem> VirtualMIDISystem::shared() {
    static std::shared_ptr<VirtualMIDISystem> system = create(true);
    return system;
}

std::shared_ptr<VirtualMIDISystem> VirtualMIDISystem::create(bool withLoopback) {
    std::shared_ptr<VirtualMIDISystem> system(new VirtualMIDISystem());
    if (withLoopback) system->addLoopback();
    return system;
}

void VirtualMIDISystem::addLoopback() {
    EndpointSpec spec;
    spec.name = kLoopbackName;
    spec.entity = MIDIObjectIdentity{kLoopbackName, stableUniqueID("virtual\x1f"
                                                                   "Lumetta Loopback")};
    spec.device = MIDIObjectIdentity{kLoopbackName, stableUniqueID("virtual\x1f"
                                                                   "Lumetta")};
    loopbackSource_ = addSource(spec);
    // The system owns the loopback; a weak back reference keeps it from owning itself.
    std::weak_ptr<VirtualMIDISystem> weak = weak_from_this();
    const MIDIEndpointRef source = loopbackSource_;
    loopbackDestination_ = addDestination(spec, [weak, source](const MIDIPacket& packet) {
        if (auto system = weak.lock()) system->emit(source, packet.data, packet.length);
    });
}

std::unique_ptr<MIDIService> VirtualMIDISystem::openClient(const std::string& clientName) {
    (void)clientName;
    uint32_t clientRef;
    {
        std::lock_guard guard(lock_);
        clientRef = nextClient_++;
    }
    return std::make_unique<VirtualMIDIService>(shared_from_this(), clientRef);
}

MIDIEndpointRef VirtualMIDISystem::addSource(EndpointSpec spec) {
    return add(MIDIObjectKind::source, std::move(spec), nullptr);
}

MIDIEndpointRef VirtualMIDISystem::addDestination(EndpointSpec spec, Receiver receiver) {
    return add(MIDIObjectKind::destination, std::move(spec), std::move(receiver));
}

MIDIEndpointRef VirtualMIDISystem::add(MIDIObjectKind kind, EndpointSpec spec, Receiver receiver) {
    if (spec.uniqueID == 0) {
        std::string key = std::string(kind == MIDIObjectKind::source ? "in" : "out") + "\x1f" +
                          (spec.device ? spec.device->name : "") + "\x1f" + spec.name;
        spec.uniqueID = stableUniqueID(key);
    }
    std::lock_guard guard(lock_);
    const MIDIEndpointRef ref = nextRef_++;
    Endpoint endpoint{kind, std::move(spec), nullptr};
    if (receiver) endpoint.receiver = std::make_shared<Receiver>(std::move(receiver));
    endpoints_.emplace(ref, std::move(endpoint));
    for (auto* service : services_) {
        VirtualMIDIService::Item item{VirtualMIDIService::ItemKind::added};
        item.objectKind = kind;
        item.ref = ref;
        service->enqueue(std::move(item));
    }
    return ref;
}

bool VirtualMIDISystem::remove(MIDIEndpointRef ref) {
    std::lock_guard guard(lock_);
    auto it = endpoints_.find(ref);
    if (it == endpoints_.end()) return false;
    const MIDIObjectKind kind = it->second.kind;
    endpoints_.erase(it);
    subscriptions_.erase(ref);
    for (auto* service : services_) {
        VirtualMIDIService::Item item{VirtualMIDIService::ItemKind::removed};
        item.objectKind = kind;
        item.ref = ref;
        service->enqueue(std::move(item));
    }
    return true;
}

bool VirtualMIDISystem::setOffline(MIDIEndpointRef ref, std::optional<int32_t> offline) {
    std::lock_guard guard(lock_);
    auto it = endpoints_.find(ref);
    if (it == endpoints_.end()) return false;
    it->second.spec.offline = offline;
    return true;
}

bool VirtualMIDISystem::emit(MIDIEndpointRef source, const uint8_t* bytes, size_t size,
                             uint64_t hostTime) {
    if (hostTime == 0) hostTime = current_host_time();
    std::lock_guard guard(lock_);
    auto it = endpoints_.find(source);
    if (it == endpoints_.end() || it->second.kind != MIDIObjectKind::source) return false;
    auto range = subscriptions_.equal_range(source);
    for (auto s = range.first; s != range.second; ++s) {
        // A packet counts its bytes in 16 bits; more goes out as consecutive packets.
        size_t at = 0;
        do {
            const size_t piece = std::min<size_t>(size - at, UINT16_MAX);
            VirtualMIDIService::Item item{VirtualMIDIService::ItemKind::packet};
            item.timeStamp = hostTime;
            item.bytes.assign(bytes + at, bytes + at + piece);
            item.context = s->second.context;
            s->second.service->enqueue(std::move(item));
            at += piece;
        } while (at < size);
    }
    return true;
}

void VirtualMIDISystem::raiseIOError(int32_t code) {
    std::lock_guard guard(lock_);
    for (auto* service : services_) {
        VirtualMIDIService::Item item{VirtualMIDIService::ItemKind::error};
        item.code = code;
        service->enqueue(std::move(item));
    }
}

void VirtualMIDISystem::attach(VirtualMIDIService* service) {
    std::lock_guard guard(lock_);
    services_.push_back(service);
}

void VirtualMIDISystem::detach(VirtualMIDIService* service) {
    std::lock_guard guard(lock_);
    std::erase(services_, service);
    std::erase_if(subscriptions_, [service](const auto& s) { return s.second.service == service; });
}

std::vector<MIDIEndpointRef> VirtualMIDISystem::list(MIDIObjectKind kind) {
    std::lock_guard guard(lock_);
    std::vector<MIDIEndpointRef> refs;
    for (auto& [ref, endpoint] : endpoints_)
        if (endpoint.kind == kind) refs.push_back(ref);
    return refs;
}

std::optional<MIDIEndpointProperties> VirtualMIDISystem::properties(MIDIEndpointRef ref) {
    std::lock_guard guard(lock_);
    auto it = endpoints_.find(ref);
    if (it == endpoints_.end()) return std::nullopt;
    const EndpointSpec& spec = it->second.spec;
    return MIDIEndpointProperties{spec.name, spec.uniqueID, spec.entity, spec.device, spec.offline};
}

std::optional<MIDIFoundObject> VirtualMIDISystem::findByUniqueID(int32_t uniqueID) {
    std::lock_guard guard(lock_);
    for (auto& [ref, endpoint] : endpoints_)
        if (endpoint.spec.uniqueID == uniqueID) return MIDIFoundObject{ref, endpoint.kind};
    return std::nullopt;
}

int VirtualMIDISystem::subscribe(VirtualMIDIService* service, MIDIEndpointRef source,
                                 void* context) {
    std::lock_guard guard(lock_);
    auto it = endpoints_.find(source);
    if (it == endpoints_.end() || it->second.kind != MIDIObjectKind::source) return -ENOENT;
    auto range = subscriptions_.equal_range(source);
    for (auto s = range.first; s != range.second; ++s) {
        if (s->second.service == service) {
            s->second.context = context;
            return 0;
        }
    }
    subscriptions_.emplace(source, Subscription{service, context});
    return 0;
}

int VirtualMIDISystem::unsubscribe(VirtualMIDIService* service, MIDIEndpointRef source) {
    std::lock_guard guard(lock_);
    auto range = subscriptions_.equal_range(source);
    for (auto s = range.first; s != range.second; ++s) {
        if (s->second.service == service) {
            subscriptions_.erase(s);
            return 0;
        }
    }
    return -ENOENT;
}

int VirtualMIDISystem::deliver(MIDIEndpointRef destination, const MIDIPacketList& list) {
    std::shared_ptr<Receiver> receiver;
    {
        std::lock_guard guard(lock_);
        auto it = endpoints_.find(destination);
        if (it == endpoints_.end() || it->second.kind != MIDIObjectKind::destination)
            return -ENOENT;
        receiver = it->second.receiver;
    }
    // Outside the lock: the loopback's receiver emits into this system again.
    if (receiver) list.forEach([&](const MIDIPacket& packet) { (*receiver)(packet); });
    return 0;
}

// ---- VirtualMIDIService ------------------------------------------------------------------------

VirtualMIDIService::VirtualMIDIService(std::shared_ptr<VirtualMIDISystem> system,
                                       uint32_t clientRef)
    : system_(std::move(system)), clientRef_(clientRef) {}

VirtualMIDIService::~VirtualMIDIService() {
    stop();
}

void VirtualMIDIService::start(MIDIServiceListener& listener) {
    listener_ = &listener;
    system_->attach(this);
    thread_ = std::thread([this] { run(); });
}

void VirtualMIDIService::stop() {
    system_->detach(this);
    {
        std::lock_guard guard(queueLock_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

std::vector<MIDIEndpointRef> VirtualMIDIService::sources() {
    return system_->list(MIDIObjectKind::source);
}

std::vector<MIDIEndpointRef> VirtualMIDIService::destinations() {
    return system_->list(MIDIObjectKind::destination);
}

std::optional<MIDIEndpointProperties> VirtualMIDIService::properties(MIDIEndpointRef ref) {
    return system_->properties(ref);
}

std::optional<MIDIFoundObject> VirtualMIDIService::findByUniqueID(int32_t uniqueID) {
    return system_->findByUniqueID(uniqueID);
}

int VirtualMIDIService::connectSource(MIDIEndpointRef source, void* context) {
    return system_->subscribe(this, source, context);
}

int VirtualMIDIService::disconnectSource(MIDIEndpointRef source) {
    return system_->unsubscribe(this, source);
}

int VirtualMIDIService::send(MIDIEndpointRef destination, const MIDIPacketList& list) {
    return system_->deliver(destination, list);
}

void VirtualMIDIService::enqueue(Item item) {
    bool report = false;
    {
        std::lock_guard guard(queueLock_);
        if (stopping_) return;
        if (queue_.size() >= VirtualMIDISystem::kQueueLimit) {
            // Like a full sequencer input pool: the packet is lost and the client hears of it once
            // per overflow.
            if (item.kind != ItemKind::packet) queue_.push_back(std::move(item));
            report = !overflowed_;
            overflowed_ = true;
            if (report) {
                Item error{ItemKind::error};
                error.code = ENOSPC;
                queue_.push_back(std::move(error));
            }
        } else {
            overflowed_ = false;
            queue_.push_back(std::move(item));
        }
    }
    wake_.notify_one();
}

void VirtualMIDIService::run() {
    base::requestShortTimeSlice();  // like a platform receive thread: wake promptly when busy
    std::deque<Item> batch;
    for (;;) {
        {
            std::unique_lock guard(queueLock_);
            wake_.wait(guard, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            batch.swap(queue_);
        }
        for (Item& item : batch) {
            switch (item.kind) {
                case ItemKind::packet: {
                    MIDIPacket packet{item.timeStamp, item.bytes.data(),
                                      static_cast<uint16_t>(item.bytes.size())};
                    listener_->midiPacket(packet, item.context);
                    break;
                }
                case ItemKind::added:
                    listener_->midiObjectAdded(item.objectKind, item.ref);
                    break;
                case ItemKind::removed:
                    listener_->midiObjectRemoved(item.objectKind, item.ref);
                    break;
                case ItemKind::error:
                    listener_->midiIOError(item.code);
                    break;
            }
        }
        batch.clear();
    }
}

}  // namespace lumetta::midi
