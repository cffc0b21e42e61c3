#include "midi/alsa/FakeSequencer.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace lumetta::midi::testing {

// ---- FakeClock

PacingClock::Duration FakeClock::now() {
    std::lock_guard guard(lock_);
    return now_;
}

void FakeClock::waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
                          Duration deadline) {
    if (autoAdvance_.load()) {
        std::lock_guard guard(lock_);
        now_ = std::max(now_, deadline);
        return;
    }
    // Time moves only when the test says; look again soon.
    wake.wait_for(lock, std::chrono::milliseconds(1));
}

void FakeClock::advance(Duration by) {
    std::lock_guard guard(lock_);
    now_ += by;
}

// ---- FakeSequencerSystem

namespace {

void freeCoder(snd_midi_event_t* coder) {
    if (coder) snd_midi_event_free(coder);
}

snd_midi_event_t* newCoder() {
    snd_midi_event_t* coder = nullptr;
    if (snd_midi_event_new(256, &coder) < 0) throw std::runtime_error("snd_midi_event_new");
    snd_midi_event_no_status(coder, 1);
    return coder;
}

constexpr Address kAnnounce{SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE};
constexpr unsigned kRead = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
constexpr unsigned kWrite = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;

}  // namespace

FakeSequencerSystem::FakeSequencerSystem()
    : clock_(std::make_shared<FakeClock>()), coder_(newCoder(), freeCoder) {
    Client system;
    system.name = "System";
    system.kernel = true;
    system.ports[SND_SEQ_PORT_SYSTEM_TIMER] = Port{"Timer", kRead | kWrite, 0};
    system.ports[SND_SEQ_PORT_SYSTEM_ANNOUNCE] = Port{"Announce", kRead, 0};
    clients_[SND_SEQ_CLIENT_SYSTEM] = std::move(system);
}

std::shared_ptr<FakeSequencerSystem> FakeSequencerSystem::create() {
    return std::shared_ptr<FakeSequencerSystem>(new FakeSequencerSystem());
}

std::unique_ptr<FakeSequencer> FakeSequencerSystem::open(const std::string& name) {
    const int client = addClient(name);
    auto handle = std::make_unique<FakeSequencer>(shared_from_this(), client);
    std::lock_guard guard(lock_);
    clients_[client].handle = handle.get();
    return handle;
}

int FakeSequencerSystem::addClient(const std::string& name, bool kernel, int card) {
    std::lock_guard guard(lock_);
    const int number = kernel ? nextKernelClient_++ : nextUserClient_++;
    Client client;
    client.name = name;
    client.kernel = kernel;
    client.card = card;
    clients_[number] = std::move(client);
    announceLocked(SND_SEQ_EVENT_CLIENT_START, Address{number, 0});
    return number;
}

void FakeSequencerSystem::setCardLongName(int card, const std::string& longName) {
    std::lock_guard guard(lock_);
    cardNames_[card] = longName;
}

int FakeSequencerSystem::addPort(int client, const std::string& name, unsigned capability,
                                 unsigned type) {
    std::lock_guard guard(lock_);
    auto it = clients_.find(client);
    if (it == clients_.end()) return -ENOENT;
    int number = 0;
    while (it->second.ports.count(number)) ++number;  // the kernel reuses the lowest free number
    Port port;
    port.name = name;
    port.capability = capability;
    port.type = type;
    port.rawmidi = it->second.kernel && (type & SND_SEQ_PORT_TYPE_HARDWARE);
    it->second.ports[number] = std::move(port);
    announceLocked(SND_SEQ_EVENT_PORT_START, Address{client, number});
    return number;
}

void FakeSequencerSystem::renamePort(Address address, const std::string& name) {
    std::lock_guard guard(lock_);
    if (Port* port = portLocked(address)) {
        port->name = name;
        announceLocked(SND_SEQ_EVENT_PORT_CHANGE, address);
    }
}

void FakeSequencerSystem::removePort(Address address) {
    std::lock_guard guard(lock_);
    auto it = clients_.find(address.client);
    if (it == clients_.end() || !it->second.ports.erase(address.port)) return;
    dropSubscriptionsLocked(address);
    announceLocked(SND_SEQ_EVENT_PORT_EXIT, address);
}

void FakeSequencerSystem::removeClient(int client) {
    std::lock_guard guard(lock_);
    auto it = clients_.find(client);
    if (it == clients_.end()) return;
    std::vector<int> ports;
    for (auto& [number, port] : it->second.ports) ports.push_back(number);
    for (int number : ports) {
        it->second.ports.erase(number);
        dropSubscriptionsLocked(Address{client, number});
        announceLocked(SND_SEQ_EVENT_PORT_EXIT, Address{client, number});
    }
    clients_.erase(it);
    announceLocked(SND_SEQ_EVENT_CLIENT_EXIT, Address{client, 0});
}

Address FakeSequencerSystem::addHardwarePort(const std::string& clientName,
                                             const std::string& portName, int card,
                                             const std::string& longName) {
    setCardLongName(card, longName);
    const int client = addClient(clientName, true, card);
    return Address{client, addPort(client, portName, kDuplex, kHardwareType)};
}

Address FakeSequencerSystem::addSoftwarePort(const std::string& clientName,
                                             const std::string& portName) {
    const int client = addClient(clientName);
    return Address{client, addPort(client, portName, kDuplex, kApplicationType)};
}

FakeSequencerSystem::Port* FakeSequencerSystem::portLocked(Address address) {
    auto it = clients_.find(address.client);
    if (it == clients_.end()) return nullptr;
    auto port = it->second.ports.find(address.port);
    return port == it->second.ports.end() ? nullptr : &port->second;
}

void FakeSequencerSystem::announceLocked(int type, Address port) {
    snd_seq_event_t event;
    std::memset(&event, 0, sizeof event);
    event.type = static_cast<snd_seq_event_type_t>(type);
    event.source.client = kAnnounce.client;
    event.source.port = kAnnounce.port;
    event.data.addr.client = static_cast<unsigned char>(port.client);
    event.data.addr.port = static_cast<unsigned char>(port.port);
    deliverLocked(event, nullptr, 0);
}

// To every subscriber of the event's source, as the kernel routes a subscribed event.
void FakeSequencerSystem::deliverLocked(const snd_seq_event_t& event, const uint8_t* data,
                                        size_t size) {
    const Address source{event.source.client, event.source.port};
    for (const Subscription& subscription : subscriptions_) {
        if (!(subscription.sender == source)) continue;
        auto it = clients_.find(subscription.dest.client);
        if (it == clients_.end() || it->second.handle == nullptr) continue;
        snd_seq_event_t copy = event;
        copy.dest.client = static_cast<unsigned char>(subscription.dest.client);
        copy.dest.port = static_cast<unsigned char>(subscription.dest.port);
        it->second.handle->push(copy, data, size);
    }
}

int FakeSequencerSystem::subscribe(Address sender, Address dest, bool exclusive, int byClient) {
    int err = 0;
    {
        std::lock_guard guard(lock_);
        err = subscribeLocked(sender, dest, exclusive, byClient);
    }
    if (err == 0) fireHook(sender, dest);
    return err;
}

int FakeSequencerSystem::subscribeLocked(Address sender, Address dest, bool exclusive,
                                         int byClient) {
    Port* from = portLocked(sender);
    Port* to = portLocked(dest);
    if (!from || !to) return -EINVAL;
    // The subscribing client needs no permission on its own ports.
    if (byClient != sender.client && (from->capability & kRead) != kRead) return -EPERM;
    if (byClient != dest.client && (to->capability & kWrite) != kWrite) return -EPERM;
    for (const Subscription& s : subscriptions_) {
        if (s.sender == sender && s.dest == dest) return -EBUSY;
        if (s.exclusive && (s.sender == sender || s.dest == dest)) return -EBUSY;
        if (exclusive && (s.sender == sender || s.dest == dest)) return -EBUSY;
    }
    subscriptions_.push_back(Subscription{sender, dest, exclusive});
    return 0;
}

int FakeSequencerSystem::unsubscribeLocked(Address sender, Address dest) {
    auto it = std::find_if(subscriptions_.begin(), subscriptions_.end(),
                           [&](const auto& s) { return s.sender == sender && s.dest == dest; });
    if (it == subscriptions_.end()) return -ENOENT;
    subscriptions_.erase(it);
    return 0;
}

void FakeSequencerSystem::dropSubscriptionsLocked(Address port) {
    std::erase_if(subscriptions_,
                  [&](const Subscription& s) { return s.sender == port || s.dest == port; });
}

bool FakeSequencerSystem::isSubscribed(Address sender, Address dest) {
    std::lock_guard guard(lock_);
    return std::any_of(subscriptions_.begin(), subscriptions_.end(),
                       [&](const auto& s) { return s.sender == sender && s.dest == dest; });
}

void FakeSequencerSystem::onSubscribe(std::function<void(Address, Address)> hook) {
    std::lock_guard guard(lock_);
    hook_ = std::move(hook);
}

void FakeSequencerSystem::fireHook(Address sender, Address dest) {
    std::function<void(Address, Address)> hook;
    {
        std::lock_guard guard(lock_);
        hook = hook_;
    }
    if (hook) hook(sender, dest);
}

std::vector<uint8_t> FakeSequencerSystem::received(Address address) {
    std::lock_guard guard(lock_);
    Port* port = portLocked(address);
    return port ? port->received : std::vector<uint8_t>{};
}

size_t FakeSequencerSystem::dropped(Address address) {
    std::lock_guard guard(lock_);
    Port* port = portLocked(address);
    return port ? port->dropped : 0;
}

void FakeSequencerSystem::failWrites(Address address, int error, int count) {
    std::lock_guard guard(lock_);
    if (Port* port = portLocked(address)) {
        port->failError = error;
        port->failCount = count;
    }
}

void FakeSequencerSystem::emit(Address source, const std::vector<uint8_t>& bytes) {
    std::lock_guard guard(lock_);
    snd_midi_event_reset_encode(coder_.get());
    for (uint8_t byte : bytes) {
        snd_seq_event_t event;
        std::memset(&event, 0, sizeof event);
        if (snd_midi_event_encode_byte(coder_.get(), byte, &event) != 1) continue;
        if (event.type == SND_SEQ_EVENT_NONE) continue;
        event.source.client = static_cast<unsigned char>(source.client);
        event.source.port = static_cast<unsigned char>(source.port);
        if (snd_seq_ev_is_variable(&event))
            deliverLocked(event, static_cast<const uint8_t*>(event.data.ext.ptr),
                          event.data.ext.len);
        else
            deliverLocked(event, nullptr, 0);
    }
}

void FakeSequencerSystem::emitSysExChunk(Address source, const std::vector<uint8_t>& chunk) {
    std::lock_guard guard(lock_);
    snd_seq_event_t event;
    std::memset(&event, 0, sizeof event);
    event.type = SND_SEQ_EVENT_SYSEX;
    snd_seq_ev_set_variable(&event, chunk.size(), nullptr);
    event.source.client = static_cast<unsigned char>(source.client);
    event.source.port = static_cast<unsigned char>(source.port);
    deliverLocked(event, chunk.data(), chunk.size());
}

// An event our client writes directly to one port.
int FakeSequencerSystem::outputLocked(snd_seq_event_t* event) {
    const Address dest{event->dest.client, event->dest.port};
    Port* port = portLocked(dest);
    if (!port) return -ENOENT;
    if (port->failCount > 0) {
        --port->failCount;
        return port->failError;
    }
    std::vector<uint8_t> bytes;
    if (snd_seq_ev_is_variable(event)) {
        const auto* data = static_cast<const uint8_t*>(event->data.ext.ptr);
        bytes.assign(data, data + event->data.ext.len);
    } else {
        unsigned char buffer[32];
        const long size = snd_midi_event_decode(coder_.get(), buffer, sizeof buffer, event);
        if (size > 0) bytes.assign(buffer, buffer + size);
    }
    if (port->rawmidi) {
        // The driver opens the device for its first subscriber only.
        const bool used = std::any_of(subscriptions_.begin(), subscriptions_.end(),
                                      [&](const auto& s) { return s.dest == dest; });
        if (!used) return -ENODEV;
        const auto now = clock_->now();
        const auto perByte = std::chrono::nanoseconds(1'000'000'000 / kWireBytesPerSecond);
        const int64_t drained = (now - port->drainedAt) / perByte;
        if (drained > 0 || port->buffered == 0) {
            port->buffered = std::max<int64_t>(0, port->buffered - drained);
            port->drainedAt = port->buffered == 0 ? now : port->drainedAt + drained * perByte;
        }
        if (port->buffered + static_cast<int64_t>(bytes.size()) >
            static_cast<int64_t>(kHardwareBuffer)) {
            port->dropped += bytes.size();  // lost, and the write still succeeds
            return 0;
        }
        port->buffered += static_cast<int64_t>(bytes.size());
    }
    port->received.insert(port->received.end(), bytes.begin(), bytes.end());
    return 0;
}

// ---- FakeSequencer

FakeSequencer::FakeSequencer(std::shared_ptr<FakeSequencerSystem> system, int client)
    : system_(std::move(system)), client_(client), eventFd_(::eventfd(0, EFD_CLOEXEC)) {}

FakeSequencer::~FakeSequencer() {
    {
        std::lock_guard guard(system_->lock_);
        auto it = system_->clients_.find(client_);
        if (it != system_->clients_.end()) {
            for (auto& [number, port] : it->second.ports)
                system_->dropSubscriptionsLocked(Address{client_, number});
            system_->clients_.erase(it);
        }
        std::erase_if(system_->subscriptions_, [&](const auto& s) {
            return s.sender.client == client_ || s.dest.client == client_;
        });
    }
}

int FakeSequencer::createPort(const std::string& name, unsigned capability, unsigned type) {
    return system_->addPort(client_, name, capability, type);
}

int FakeSequencer::setInputPool(size_t cells) {
    inputPool_.store(cells);
    std::lock_guard guard(queueLock_);
    discarded_ += queue_.size();
    queue_.clear();
    signalLocked();
    return 0;
}

int FakeSequencer::setInputBufferSize(size_t bytes) {
    (void)bytes;
    std::lock_guard guard(queueLock_);
    discarded_ += queue_.size();
    queue_.clear();
    signalLocked();
    return 0;
}

int FakeSequencer::connectFrom(int myPort, int client, int port) {
    return system_->subscribe(Address{client, port}, Address{client_, myPort}, false, client_);
}

int FakeSequencer::disconnectFrom(int myPort, int client, int port) {
    std::lock_guard guard(system_->lock_);
    return system_->unsubscribeLocked(Address{client, port}, Address{client_, myPort});
}

int FakeSequencer::connectTo(int myPort, int client, int port) {
    return system_->subscribe(Address{client_, myPort}, Address{client, port}, false, client_);
}

int FakeSequencer::disconnectTo(int myPort, int client, int port) {
    std::lock_guard guard(system_->lock_);
    return system_->unsubscribeLocked(Address{client_, myPort}, Address{client, port});
}

bool FakeSequencer::subscribed(int senderClient, int senderPort, int destClient, int destPort) {
    return system_->isSubscribed(Address{senderClient, senderPort}, Address{destClient, destPort});
}

std::vector<SequencerClient> FakeSequencer::clients() {
    {
        std::unique_lock gate(gateLock_);
        enumerating_ = true;
        gate_.notify_all();
        gate_.wait(gate, [&] { return !gateClosed_; });
        enumerating_ = false;
    }
    std::lock_guard guard(system_->lock_);
    std::vector<SequencerClient> list;
    for (auto& [number, client] : system_->clients_)
        list.push_back(SequencerClient{number, client.name, client.kernel, client.card});
    return list;
}

std::vector<SequencerPort> FakeSequencer::ports(int client) {
    std::lock_guard guard(system_->lock_);
    std::vector<SequencerPort> list;
    auto it = system_->clients_.find(client);
    if (it == system_->clients_.end()) return list;
    for (auto& [number, port] : it->second.ports)
        list.push_back(SequencerPort{client, number, port.name, port.capability, port.type});
    return list;
}

std::optional<SequencerClient> FakeSequencer::clientInfo(int client) {
    std::lock_guard guard(system_->lock_);
    auto it = system_->clients_.find(client);
    if (it == system_->clients_.end()) return std::nullopt;
    return SequencerClient{client, it->second.name, it->second.kernel, it->second.card};
}

std::optional<SequencerPort> FakeSequencer::portInfo(int client, int port) {
    std::lock_guard guard(system_->lock_);
    FakeSequencerSystem::Port* found = system_->portLocked(Address{client, port});
    if (!found) return std::nullopt;
    return SequencerPort{client, port, found->name, found->capability, found->type};
}

std::string FakeSequencer::cardLongName(int card) {
    std::lock_guard guard(system_->lock_);
    auto it = system_->cardNames_.find(card);
    return it == system_->cardNames_.end() ? std::string() : it->second;
}

std::vector<pollfd> FakeSequencer::pollDescriptors() {
    return {pollfd{eventFd_.get(), POLLIN, 0}};
}

void FakeSequencer::push(const snd_seq_event_t& event, const uint8_t* data, size_t size) {
    std::lock_guard guard(queueLock_);
    Queued queued;
    queued.event = event;
    if (data) queued.data.assign(data, data + size);
    queue_.push_back(std::move(queued));
    signalLocked();
}

// Keeps the descriptor readable exactly while a read would return something, as the
// sequencer's is.
void FakeSequencer::signalLocked() {
    const bool readable =
        !held_ && (!queue_.empty() || overflowed_ || failError_ != 0 || flooding_);
    if (broken_ || readable == signalled_) return;
    if (readable) {
        const uint64_t one = 1;
        if (::write(eventFd_.get(), &one, sizeof one) < 0) return;
    } else {
        uint64_t value = 0;
        if (::read(eventFd_.get(), &value, sizeof value) < 0) return;
    }
    signalled_ = readable;
}

int FakeSequencer::eventInput(snd_seq_event_t** event) {
    ++inputCalls_;
    std::lock_guard guard(queueLock_);
    *event = nullptr;
    if (held_) return -EAGAIN;
    if (failError_ != 0) {
        const int error = failError_;
        if (!failLasting_) failError_ = 0;
        signalLocked();
        return error;
    }
    if (overflowed_) {
        overflowed_ = false;
        signalLocked();
        return -ENOSPC;
    }
    if (flooding_) {
        std::memset(&current_.event, 0, sizeof current_.event);
        current_.event.type = SND_SEQ_EVENT_NOTEON;
        current_.event.source.client = static_cast<unsigned char>(floodSource_.client);
        current_.event.source.port = static_cast<unsigned char>(floodSource_.port);
        current_.event.data.note.note = 60;
        current_.event.data.note.velocity = 100;
        *event = &current_.event;
        return 1;
    }
    if (queue_.empty()) {
        signalLocked();
        drained_.notify_all();
        return -EAGAIN;
    }
    current_ = std::move(queue_.front());
    queue_.pop_front();
    if (!current_.data.empty() || snd_seq_ev_is_variable(&current_.event))
        current_.event.data.ext.ptr = current_.data.data();
    signalLocked();
    if (queue_.empty()) drained_.notify_all();
    *event = &current_.event;
    return static_cast<int>(queue_.size());
}

int FakeSequencer::eventOutputDirect(snd_seq_event_t* event) {
    event->source.client = static_cast<unsigned char>(client_);
    std::lock_guard guard(system_->lock_);
    return system_->outputLocked(event);
}

void FakeSequencer::hold(bool on) {
    std::lock_guard guard(queueLock_);
    held_ = on;
    signalLocked();
}

void FakeSequencer::overflow() {
    std::lock_guard guard(queueLock_);
    queue_.clear();
    overflowed_ = true;
    signalLocked();
}

void FakeSequencer::failInput(int error, bool lasting) {
    std::lock_guard guard(queueLock_);
    failError_ = error;
    failLasting_ = lasting;
    signalLocked();
}

void FakeSequencer::flood(bool on, Address source) {
    std::lock_guard guard(queueLock_);
    flooding_ = on;
    floodSource_ = source;
    signalLocked();
}

void FakeSequencer::breakPoll() {
    std::lock_guard guard(queueLock_);
    int pipeFds[2];
    if (::pipe(pipeFds) < 0) return;
    ::close(pipeFds[0]);
    // A poll already waiting holds the eventfd itself, not its number: keep it to wake that
    // poll once the number is taken over.
    const int old = ::dup(eventFd_.get());
    // A pipe's write end without a reader polls as an error; it takes the eventfd's number.
    ::dup2(pipeFds[1], eventFd_.get());
    ::close(pipeFds[1]);
    broken_ = true;
    const uint64_t one = 1;
    if (old >= 0 && ::write(old, &one, sizeof one) < 0) {
        // A counter this small cannot overflow.
    }
    if (old >= 0) ::close(old);
}

void FakeSequencer::blockEnumeration(bool on) {
    std::lock_guard guard(gateLock_);
    gateClosed_ = on;
    gate_.notify_all();
}

bool FakeSequencer::waitUntilEnumerating(std::chrono::milliseconds limit) {
    std::unique_lock gate(gateLock_);
    return gate_.wait_for(gate, limit, [&] { return enumerating_; });
}

bool FakeSequencer::waitUntilDrained(std::chrono::milliseconds limit) {
    std::unique_lock guard(queueLock_);
    return drained_.wait_for(guard, limit, [&] { return queue_.empty(); });
}

}  // namespace lumetta::midi::testing
