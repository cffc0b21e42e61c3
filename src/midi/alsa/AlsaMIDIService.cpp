#include "midi/alsa/AlsaMIDIService.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "base/Scheduling.h"
#include "base/raii/UniqueFd.h"
#include "midi/Timestamp.h"
#include "midi/UniqueID.h"
#include "midi/alsa/AlsaSequencer.h"
#include "midi/alsa/Sequencer.h"
#include "midi/alsa/SequencerOutput.h"

namespace lumetta::midi {

namespace {

struct CoderFree {
    void operator()(snd_midi_event_t* coder) const { snd_midi_event_free(coder); }
};
using MIDICoder = std::unique_ptr<snd_midi_event_t, CoderFree>;

int addressKey(int client, int port) {
    return (client << 8) | port;
}

constexpr unsigned kSourceCaps = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
constexpr unsigned kDestinationCaps = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
// Ports that carry MIDI 1.0 bytes. A MIDI 2.0 device also lists a "MIDI 2.0" endpoint port
// without these bits beside its groups; connecting both would double every message.
constexpr unsigned kMIDIPortTypes =
    SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SYNTH | SND_SEQ_PORT_TYPE_APPLICATION;
// The kernel's largest input pool (SNDRV_SEQ_MAX_CLIENT_EVENTS); the default 200 cells overflow
// on a large SysEx dump.
constexpr size_t kInputPoolCells = 2000;
constexpr size_t kInputBufferBytes = 65536;
// A SysEx longer than this is handed on in pieces; the parser joins pieces of one source.
constexpr size_t kMaxReassembled = 60000;
// Room for any non-SysEx event the coder decodes (14-bit and parameter-number controllers).
constexpr long kDecodeBuffer = 32;
// How long the receive thread rests after an error it cannot clear, at first and at most.
constexpr int kFirstBackoffMillis = 10;
constexpr int kLongestBackoffMillis = 1000;
// Full scans retried when announcements changed the table while they ran.
constexpr int kScanAttempts = 3;

/// What a scan found of one port that is shown.
struct ScannedPort {
    int client = 0;
    int port = 0;
    std::string clientName;
    std::string portName;
    std::string cardName;  // the long name of the port's sound card; empty for software
    bool source = false;
    bool destination = false;
    bool paced = false;  // a hardware port: output drains at the wire rate
};

/// One port of another client as the service knows it.
struct PortEntry {
    ScannedPort info;
    bool present = false;  // found by the latest scan or announcement
    bool hasIDs = false;
    int32_t sourceUID = 0;
    int32_t destinationUID = 0;
    int32_t entityUID = 0;
    int32_t deviceUID = 0;
    // The endpoints the listener was told of and not yet told gone.
    MIDIEndpointRef toldSource = 0;
    MIDIEndpointRef toldDestination = 0;
};

// A notice for the listener.
struct Change {
    MIDIObjectKind kind;
    MIDIEndpointRef ref;
};

// An endpoint that went: what it left behind is cleared.
struct Departure {
    MIDIObjectKind kind;
    int client;
    int port;
    MIDIEndpointRef ref;
};

/// SysEx chunks of one source being joined. Receive thread.
struct SysExJoin {
    std::vector<uint8_t> bytes;
    bool open = false;  // inside a SysEx whose start we saw
};

class AlsaMIDIService final : public MIDIService {
  public:
    AlsaMIDIService(std::unique_ptr<Sequencer> seq, std::shared_ptr<PacingClock> clock, int inPort,
                    int outPort, MIDICoder decoder, raii::UniqueFd wake)
        : seq_(std::move(seq)),
          clientId_(seq_->clientId()),
          inPort_(inPort),
          outPort_(outPort),
          decoder_(std::move(decoder)),
          wake_(std::move(wake)),
          output_(*seq_, outPort_, std::move(clock), [this](int code) { report(code); }) {
        refresh();
        // The ports there at the start are known without a notice.
        std::lock_guard guard(tableLock_);
        std::vector<Change> none;
        std::vector<Departure> gone;
        reconcileLocked(none, none, gone);
    }

    ~AlsaMIDIService() override { stop(); }

    const char* kind() const override { return "alsa"; }
    uint32_t clientRef() const override { return static_cast<uint32_t>(clientId_); }

    void start(MIDIServiceListener& listener) override {
        listener_.store(&listener);
        thread_ = std::thread([this] { run(); });
    }

    void stop() override {
        stopping_.store(true);
        wakeUp();
        if (thread_.joinable()) thread_.join();
        output_.stop();
        listener_.store(nullptr);
    }

    std::vector<MIDIEndpointRef> sources() override { return list(true); }
    std::vector<MIDIEndpointRef> destinations() override { return list(false); }

    std::optional<MIDIEndpointProperties> properties(MIDIEndpointRef ref) override {
        std::lock_guard guard(tableLock_);
        bool asSource = false;
        const PortEntry* entry = findLocked(ref, &asSource);
        if (!entry) return std::nullopt;
        MIDIEndpointProperties properties;
        properties.name = entry->info.portName;
        properties.uniqueID = asSource ? entry->sourceUID : entry->destinationUID;
        properties.entity = MIDIObjectIdentity{entry->info.portName, entry->entityUID};
        properties.device = MIDIObjectIdentity{entry->info.clientName, entry->deviceUID};
        properties.offline = 0;  // ALSA ports are there or gone
        return properties;
    }

    std::optional<MIDIFoundObject> findByUniqueID(int32_t uniqueID) override {
        refresh();
        std::lock_guard guard(tableLock_);
        bool asSource = false;
        const auto ref = static_cast<MIDIEndpointRef>(uniqueID);
        if (!findLocked(ref, &asSource)) return std::nullopt;
        return MIDIFoundObject{ref,
                               asSource ? MIDIObjectKind::source : MIDIObjectKind::destination};
    }

    int connectSource(MIDIEndpointRef source, void* context) override {
        int client = 0, port = 0;
        if (!resolve(source, true, client, port)) return -ENOENT;
        const int key = addressKey(client, port);
        std::optional<Connection> before;
        {
            // The context is in place before the first event of the subscription can come.
            std::lock_guard guard(connectionLock_);
            if (auto it = contexts_.find(key); it != contexts_.end()) before = it->second;
            contexts_[key] = Connection{context, source};
        }
        int err = seq_->connectFrom(inPort_, client, port);
        // -EBUSY is also the answer when another program holds the port exclusively: only a
        // subscription that is really ours counts as connected.
        if (err == -EBUSY) err = seq_->subscribed(client, port, clientId_, inPort_) ? 0 : -EBUSY;
        if (err != 0) {
            std::lock_guard guard(connectionLock_);
            if (before)
                contexts_[key] = *before;
            else
                contexts_.erase(key);
        }
        return err;
    }

    int disconnectSource(MIDIEndpointRef source) override {
        int client = 0, port = 0;
        if (!resolve(source, true, client, port)) return -ENOENT;
        {
            std::lock_guard guard(connectionLock_);
            contexts_.erase(addressKey(client, port));
        }
        return seq_->disconnectFrom(inPort_, client, port);
    }

    int send(MIDIEndpointRef destination, const MIDIPacketList& list) override {
        if (stopping_.load()) return -ESHUTDOWN;
        SequencerOutput::Destination target;
        {
            std::lock_guard guard(tableLock_);
            bool asSource = true;
            const PortEntry* entry = findLocked(destination, &asSource);
            if (!entry || asSource) return -ENOENT;
            target = {entry->info.client, entry->info.port, entry->info.paced};
        }
        int err = subscribeOutput(target.client, target.port);
        list.forEach([&](const MIDIPacket& packet) {
            if (err == 0) err = output_.enqueue(target, packet.data, packet.length);
        });
        if (err != 0) report(-err);
        return err;
    }

  private:
    struct Connection {
        void* context = nullptr;
        MIDIEndpointRef ref = 0;
    };

    void wakeUp() {
        const uint64_t one = 1;
        if (::write(wake_.get(), &one, sizeof one) < 0) {
            // The counter cannot overflow with one write; a failure leaves poll() to time out.
        }
    }

    // Any thread the service runs a call on; never after stop().
    void report(int code) {
        if (auto* listener = listener_.load()) listener->midiIOError(code);
    }

    // Events reach a hardware port only while it is subscribed: the kernel opens the device
    // for a subscription, and answers -ENODEV otherwise.
    int subscribeOutput(int client, int port) {
        const int key = addressKey(client, port);
        std::lock_guard guard(subscriptionLock_);
        if (outputSubscriptions_.count(key)) return 0;
        int err = seq_->connectTo(outPort_, client, port);
        if (err == -EBUSY) err = seq_->subscribed(clientId_, outPort_, client, port) ? 0 : -EBUSY;
        if (err == 0) outputSubscriptions_.insert(key);
        return err;
    }

    bool resolve(MIDIEndpointRef ref, bool wantSource, int& client, int& port) {
        std::lock_guard guard(tableLock_);
        bool asSource = false;
        const PortEntry* entry = findLocked(ref, &asSource);
        if (!entry || asSource != wantSource) return false;
        client = entry->info.client;
        port = entry->info.port;
        return true;
    }

    std::vector<MIDIEndpointRef> list(bool wantSources) {
        refresh();
        std::lock_guard guard(tableLock_);
        std::vector<MIDIEndpointRef> refs;
        for (auto& [key, entry] : ports_) {
            if (!entry.present) continue;
            if (wantSources && entry.info.source)
                refs.push_back(static_cast<MIDIEndpointRef>(entry.sourceUID));
            if (!wantSources && entry.info.destination)
                refs.push_back(static_cast<MIDIEndpointRef>(entry.destinationUID));
        }
        return refs;
    }

    // The present port with that endpoint ref (which is its unique ID).
    const PortEntry* findLocked(MIDIEndpointRef ref, bool* asSource) const {
        const auto uid = static_cast<int32_t>(ref);
        for (auto& [key, entry] : ports_) {
            if (!entry.present) continue;
            if (entry.info.source && entry.sourceUID == uid) {
                *asSource = true;
                return &entry;
            }
            if (entry.info.destination && entry.destinationUID == uid) {
                *asSource = false;
                return &entry;
            }
        }
        return nullptr;
    }

    // Whether another entry shows or was last told with one of these IDs.
    bool uidTakenLocked(int32_t sourceUID, int32_t destinationUID, int key) const {
        for (const auto& item : ports_) {
            if (item.first == key) continue;
            const auto& entry = item.second;  // not a binding: clang before 16 cannot capture one
            auto held = [&](int32_t uid) {
                return (entry.present && entry.hasIDs &&
                        (entry.sourceUID == uid || entry.destinationUID == uid)) ||
                       entry.toldSource == static_cast<MIDIEndpointRef>(uid) ||
                       entry.toldDestination == static_cast<MIDIEndpointRef>(uid);
            };
            if (held(sourceUID) || held(destinationUID)) return true;
        }
        return false;
    }

    // Reads one port through the sequencer; nullopt when it is gone or not one to show. Takes
    // no lock.
    std::optional<ScannedPort> readPort(const SequencerClient& client, const SequencerPort& port,
                                        std::map<int, std::string>& cardNames) {
        if (client.client == SND_SEQ_CLIENT_SYSTEM || client.client == clientId_)
            return std::nullopt;
        const unsigned caps = port.capability;
        if (caps & (SND_SEQ_PORT_CAP_NO_EXPORT | SND_SEQ_PORT_CAP_INACTIVE)) return std::nullopt;
        if ((port.type & kMIDIPortTypes) == 0) return std::nullopt;
        ScannedPort scanned;
        scanned.client = port.client;
        scanned.port = port.port;
        scanned.clientName = client.name;
        scanned.portName = port.name;
        scanned.source = (caps & kSourceCaps) == kSourceCaps;
        scanned.destination = (caps & kDestinationCaps) == kDestinationCaps;
        if (!scanned.source && !scanned.destination) return std::nullopt;
        if (client.kernel && client.card >= 0) {
            auto it = cardNames.find(client.card);
            if (it == cardNames.end())
                it = cardNames.emplace(client.card, seq_->cardLongName(client.card)).first;
            scanned.cardName = it->second;
        }
        scanned.paced = client.kernel && (port.type & SND_SEQ_PORT_TYPE_HARDWARE);
        return scanned;
    }

    std::vector<ScannedPort> scanAll() {
        std::vector<ScannedPort> found;
        std::map<int, std::string> cardNames;
        for (const SequencerClient& client : seq_->clients())
            for (const SequencerPort& port : seq_->ports(client.client))
                if (auto scanned = readPort(client, port, cardNames)) found.push_back(*scanned);
        return found;
    }

    // Enters what was read of a port. A port whose address and names are unchanged keeps its
    // IDs; any other takes the first variant of its names that no other port holds.
    void updateLocked(const ScannedPort& scanned) {
        const int key = addressKey(scanned.client, scanned.port);
        PortEntry& entry = ports_[key];
        const bool sameNames = entry.hasIDs && entry.info.clientName == scanned.clientName &&
                               entry.info.portName == scanned.portName &&
                               entry.info.cardName == scanned.cardName;
        entry.info = scanned;
        entry.present = true;
        if (sameNames && !uidTakenLocked(entry.sourceUID, entry.destinationUID, key)) return;
        std::string base = "alsa\x1f" + scanned.clientName;
        if (!scanned.cardName.empty()) base += "\x1f" + scanned.cardName;
        const std::string device = base;
        base += "\x1f" + scanned.portName;
        for (int n = 1;; ++n) {
            const std::string name = n == 1 ? base : base + "#" + std::to_string(n);
            const int32_t sourceUID = stableUniqueID(name + "\x1fin");
            const int32_t destinationUID = stableUniqueID(name + "\x1fout");
            if (!uidTakenLocked(sourceUID, destinationUID, key)) {
                entry.sourceUID = sourceUID;
                entry.destinationUID = destinationUID;
                entry.entityUID = stableUniqueID(name);
                break;
            }
        }
        entry.deviceUID = stableUniqueID(device);
        entry.hasIDs = true;
    }

    void goneLocked(int key) {
        auto it = ports_.find(key);
        if (it != ports_.end()) it->second.present = false;
    }

    // Lists the ports anew. The enumeration runs without the table lock, which the receive
    // thread takes for every announcement; a scan that announcements overtook is redone.
    void refresh() {
        for (int attempt = 1;; ++attempt) {
            uint64_t started = 0;
            {
                std::lock_guard guard(tableLock_);
                started = generation_;
            }
            const std::vector<ScannedPort> scan = scanAll();
            std::lock_guard guard(tableLock_);
            if (started != generation_ && attempt < kScanAttempts) continue;
            std::set<int> seen;
            for (const ScannedPort& scanned : scan) {
                seen.insert(addressKey(scanned.client, scanned.port));
                updateLocked(scanned);
            }
            for (auto& [key, entry] : ports_)
                if (!seen.count(key)) entry.present = false;
            ++generation_;
            return;
        }
    }

    // Compares what the listener was told with what is present: every endpoint that went or
    // changed its ID is told gone, every new one told added.
    void reconcileLocked(std::vector<Change>& removed, std::vector<Change>& added,
                         std::vector<Departure>& departures) {
        auto settle = [&](PortEntry& entry, MIDIObjectKind kind, bool shown, int32_t uid,
                          MIDIEndpointRef& told) {
            const MIDIEndpointRef current =
                entry.present && shown ? static_cast<MIDIEndpointRef>(uid) : 0;
            if (told != 0 && told != current) {
                removed.push_back({kind, told});
                departures.push_back({kind, entry.info.client, entry.info.port, told});
                told = 0;
            }
            if (current != 0 && told == 0) {
                added.push_back({kind, current});
                told = current;
            }
        };
        for (auto& [key, entry] : ports_) {
            settle(entry, MIDIObjectKind::source, entry.info.source, entry.sourceUID,
                   entry.toldSource);
            settle(entry, MIDIObjectKind::destination, entry.info.destination, entry.destinationUID,
                   entry.toldDestination);
        }
        for (auto it = ports_.begin(); it != ports_.end();) {
            const PortEntry& entry = it->second;
            if (!entry.present && entry.toldSource == 0 && entry.toldDestination == 0)
                it = ports_.erase(it);
            else
                ++it;
        }
    }

    // Clears what a departed endpoint left: our subscription (the kernel ends it when the port
    // goes, but not when it is renamed), its context, its half-joined SysEx, and the output
    // queued for it with its coder's state. Receive thread, without the table lock.
    void depart(const Departure& gone) {
        const int key = addressKey(gone.client, gone.port);
        if (gone.kind == MIDIObjectKind::source) {
            bool connected = false;
            {
                std::lock_guard guard(connectionLock_);
                auto it = contexts_.find(key);
                if (it != contexts_.end() && it->second.ref == gone.ref) {
                    contexts_.erase(it);
                    connected = true;
                }
            }
            if (connected) seq_->disconnectFrom(inPort_, gone.client, gone.port);
            sysex_.erase(key);
        } else {
            bool subscribed = false;
            {
                std::lock_guard guard(subscriptionLock_);
                subscribed = outputSubscriptions_.erase(key) > 0;
            }
            if (subscribed) seq_->disconnectTo(outPort_, gone.client, gone.port);
            output_.forget(gone.client, gone.port);
        }
    }

    // Tells the listener, receive thread.
    void tell(std::vector<Change>& removed, std::vector<Change>& added,
              std::vector<Departure>& departures) {
        for (const Departure& gone : departures) depart(gone);
        auto* listener = listener_.load();
        if (!listener) return;
        for (auto& change : removed) listener->midiObjectRemoved(change.kind, change.ref);
        for (auto& change : added) listener->midiObjectAdded(change.kind, change.ref);
    }

    // Announce port, receive thread.
    void announce(const snd_seq_event_t& event) {
        const int client = event.data.addr.client;
        const int port = event.data.addr.port;
        std::map<int, std::string> cardNames;
        std::vector<Change> removed, added;
        std::vector<Departure> departures;
        switch (event.type) {
            case SND_SEQ_EVENT_PORT_START:
            case SND_SEQ_EVENT_PORT_CHANGE: {
                std::optional<ScannedPort> scanned;
                auto clientInfo = seq_->clientInfo(client);
                auto portInfo = seq_->portInfo(client, port);
                if (clientInfo && portInfo) scanned = readPort(*clientInfo, *portInfo, cardNames);
                std::lock_guard guard(tableLock_);
                if (scanned)
                    updateLocked(*scanned);
                else
                    goneLocked(addressKey(client, port));
                ++generation_;
                reconcileLocked(removed, added, departures);
                break;
            }
            case SND_SEQ_EVENT_PORT_EXIT:
            case SND_SEQ_EVENT_CLIENT_EXIT:
            case SND_SEQ_EVENT_CLIENT_CHANGE: {
                // A client's new name changes the identity of each of its ports.
                std::vector<ScannedPort> scan;
                if (event.type == SND_SEQ_EVENT_CLIENT_CHANGE) {
                    if (auto clientInfo = seq_->clientInfo(client))
                        for (const SequencerPort& p : seq_->ports(client))
                            if (auto scanned = readPort(*clientInfo, p, cardNames))
                                scan.push_back(*scanned);
                }
                std::lock_guard guard(tableLock_);
                for (auto& [key, entry] : ports_) {
                    const bool hit =
                        entry.info.client == client &&
                        (event.type != SND_SEQ_EVENT_PORT_EXIT || entry.info.port == port);
                    if (hit) entry.present = false;
                }
                for (const ScannedPort& scanned : scan) updateLocked(scanned);
                ++generation_;
                reconcileLocked(removed, added, departures);
                break;
            }
            default:
                return;
        }
        tell(removed, added, departures);
    }

    // After the kernel's input pool overflowed: announcements may be lost, so the ports are
    // listed anew and every difference told; SysEx being joined lost its middle, so it is
    // dropped, with the rest of it still to come.
    void recoverFromOverflow() {
        report(ENOSPC);
        sysex_.clear();
        refresh();
        std::vector<Change> removed, added;
        std::vector<Departure> departures;
        {
            std::lock_guard guard(tableLock_);
            reconcileLocked(removed, added, departures);
        }
        tell(removed, added, departures);
    }

    void deliver(void* context, const uint8_t* bytes, size_t size, uint64_t time) {
        auto* listener = listener_.load();
        if (!listener) return;
        MIDIPacket packet{time, bytes, static_cast<uint16_t>(size)};
        listener->midiPacket(packet, context);
    }

    void flushSysEx(SysExJoin& join, void* context, uint64_t time) {
        if (join.bytes.empty()) return;
        deliver(context, join.bytes.data(), join.bytes.size(), time);
        join.bytes.clear();
    }

    // A MIDI event from a source, receive thread. Takes only the connection lock.
    void midiEvent(const snd_seq_event_t& event, uint64_t time) {
        const int key = addressKey(event.source.client, event.source.port);
        void* context = nullptr;
        {
            std::lock_guard guard(connectionLock_);
            auto it = contexts_.find(key);
            if (it == contexts_.end()) return;
            context = it->second.context;
        }
        SysExJoin& join = sysex_[key];
        if (event.type == SND_SEQ_EVENT_SYSEX) {
            // The sequencer carries a long SysEx in chunks; the page wants it whole.
            const auto* data = static_cast<const uint8_t*>(event.data.ext.ptr);
            const size_t length = event.data.ext.len;
            if (length == 0 || data == nullptr) return;
            if (data[0] == 0xF0) {
                // A new start: whatever was being joined never ended, and is dropped.
                join.bytes.clear();
                join.open = true;
            } else if (!join.open) {
                // The rest of a SysEx whose start we did not see (lost, or before we connected).
                return;
            }
            for (size_t at = 0; at < length;) {
                const size_t piece = std::min(length - at, kMaxReassembled - join.bytes.size());
                join.bytes.insert(join.bytes.end(), data + at, data + at + piece);
                at += piece;
                if (join.bytes.size() >= kMaxReassembled) flushSysEx(join, context, time);
            }
            if (data[length - 1] == 0xF7) {
                flushSysEx(join, context, time);
                join.open = false;
            }
            return;
        }
        unsigned char bytes[kDecodeBuffer];
        const long size = snd_midi_event_decode(decoder_.get(), bytes, kDecodeBuffer, &event);
        if (size <= 0) return;  // not a MIDI message
        // Only real-time messages may come between the chunks of a SysEx; anything else ends it.
        if (bytes[0] < 0xF8) {
            flushSysEx(join, context, time);
            join.open = false;
        }
        deliver(context, bytes, static_cast<size_t>(size), time);
    }

    // Reports an error the receive loop cannot clear, once for a run of the same error, and
    // rests before the next try so that a lasting fault does not spin the thread.
    void fault(int code, int& lastFault, int& backoff) {
        if (code != lastFault) report(code);
        lastFault = code;
        backoff = backoff == 0 ? kFirstBackoffMillis : std::min(backoff * 2, kLongestBackoffMillis);
        pollfd wake{wake_.get(), POLLIN, 0};
        if (::poll(&wake, 1, backoff) > 0) drainWake();
    }

    void drainWake() {
        uint64_t value = 0;
        if (::read(wake_.get(), &value, sizeof value) < 0) {
            // Non-blocking: nothing to read is fine.
        }
    }

    void run() {
        // Messages wait for this thread to wake; a short slice lets it wake promptly on a
        // busy machine.
        base::requestShortTimeSlice();
        try {
            receive();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "lumetta: MIDI receive thread: %s\n", e.what());
            report(EIO);
        }
    }

    void receive() {
        std::vector<pollfd> fds = seq_->pollDescriptors();
        const size_t sequencerFds = fds.size();
        fds.push_back(pollfd{wake_.get(), POLLIN, 0});
        int lastFault = 0;
        int backoff = 0;
        while (!stopping_.load()) {
            const int ready = ::poll(fds.data(), fds.size(), -1);
            if (ready < 0) {
                if (errno != EINTR) fault(errno, lastFault, backoff);
                continue;
            }
            if (fds.back().revents & POLLIN) drainWake();
            if (stopping_.load()) break;
            bool broken = false;
            for (size_t i = 0; i < sequencerFds; ++i)
                if (fds[i].revents & (POLLERR | POLLNVAL | POLLHUP)) broken = true;
            if (broken) {
                fault(EIO, lastFault, backoff);
                continue;
            }
            while (!stopping_.load()) {
                snd_seq_event_t* event = nullptr;
                const int err = seq_->eventInput(&event);
                if (err == -EAGAIN) break;
                if (err == -ENOSPC) {
                    recoverFromOverflow();
                    continue;
                }
                if (err < 0) {
                    fault(-err, lastFault, backoff);
                    break;
                }
                lastFault = 0;
                backoff = 0;
                if (!event) continue;
                const uint64_t time = current_host_time();
                if (event->source.client == SND_SEQ_CLIENT_SYSTEM)
                    announce(*event);
                else
                    midiEvent(*event, time);
            }
        }
    }

    std::unique_ptr<Sequencer> seq_;
    const int clientId_;
    const int inPort_;
    const int outPort_;
    MIDICoder decoder_;  // receive thread only
    raii::UniqueFd wake_;
    std::atomic<MIDIServiceListener*> listener_{nullptr};
    std::atomic<bool> stopping_{false};

    std::mutex tableLock_;
    std::map<int, PortEntry> ports_;  // by address; guarded by tableLock_
    uint64_t generation_ = 0;         // counts table changes; guarded by tableLock_
    std::mutex connectionLock_;
    std::map<int, Connection> contexts_;  // connected sources by address; connectionLock_
    std::mutex subscriptionLock_;
    std::set<int> outputSubscriptions_;  // destinations by address; subscriptionLock_
    std::map<int, SysExJoin> sysex_;     // by source address; receive thread

    SequencerOutput output_;  // its sender thread stops before what it uses goes
    std::thread thread_;      // last: stops before what it uses goes
};

}  // namespace

Expected<std::unique_ptr<MIDIService>> openAlsaMIDIService(std::unique_ptr<Sequencer> seq,
                                                           std::shared_ptr<PacingClock> clock) {
    auto fail = [](int err) { return failure(snd_strerror(err)); };
    const unsigned type = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;
    // Without the subscription capabilities other programs do not list these ports, and the
    // other clients of this program skip them too.
    const int inPort = seq->createPort("inputPort", SND_SEQ_PORT_CAP_WRITE, type);
    if (inPort < 0) return fail(inPort);
    const int outPort = seq->createPort("outputPort", SND_SEQ_PORT_CAP_READ, type);
    if (outPort < 0) return fail(outPort);
    // Both resizes drop pending input, so they come before the announce subscription that
    // starts it. A kernel that refuses the larger pool keeps its default: not fatal.
    if (const int err = seq->setInputPool(kInputPoolCells); err < 0)
        std::fprintf(stderr, "lumetta: MIDI input pool stays at its default: %s\n",
                     snd_strerror(err));
    if (const int err = seq->setInputBufferSize(kInputBufferBytes); err < 0) return fail(err);
    if (const int err =
            seq->connectFrom(inPort, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
        err < 0)
        return fail(err);
    snd_midi_event_t* coder = nullptr;
    if (const int err = snd_midi_event_new(kDecodeBuffer, &coder); err < 0) return fail(err);
    MIDICoder decoder(coder);
    snd_midi_event_no_status(coder, 1);  // every decoded message carries its status
    raii::UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake) return failure(std::strerror(errno));
    return std::make_unique<AlsaMIDIService>(std::move(seq), std::move(clock), inPort, outPort,
                                             std::move(decoder), std::move(wake));
}

Expected<std::unique_ptr<MIDIService>> openAlsaMIDIService(const std::string& clientName) {
    auto seq = openAlsaSequencer(clientName);
    if (!seq) return Unexpected(std::move(seq).error());
    return openAlsaMIDIService(std::move(*seq), std::make_shared<SteadyPacingClock>());
}

}  // namespace lumetta::midi
