#include "midi/alsa/AlsaMIDIService.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "midi/Timestamp.h"
#include "midi/UniqueID.h"

namespace lumetta::midi {

namespace {

struct SeqCloser {
    void operator()(snd_seq_t* seq) const { snd_seq_close(seq); }
};
struct CoderFree {
    void operator()(snd_midi_event_t* coder) const { snd_midi_event_free(coder); }
};
struct ClientInfoFree {
    void operator()(snd_seq_client_info_t* info) const { snd_seq_client_info_free(info); }
};
struct PortInfoFree {
    void operator()(snd_seq_port_info_t* info) const { snd_seq_port_info_free(info); }
};
using SeqHandle = std::unique_ptr<snd_seq_t, SeqCloser>;
using MIDICoder = std::unique_ptr<snd_midi_event_t, CoderFree>;
using ClientInfo = std::unique_ptr<snd_seq_client_info_t, ClientInfoFree>;
using PortInfo = std::unique_ptr<snd_seq_port_info_t, PortInfoFree>;

/// An owned file descriptor.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

ClientInfo newClientInfo() {
    snd_seq_client_info_t* info = nullptr;
    snd_seq_client_info_malloc(&info);
    return ClientInfo(info);
}

PortInfo newPortInfo() {
    snd_seq_port_info_t* info = nullptr;
    snd_seq_port_info_malloc(&info);
    return PortInfo(info);
}

int addressKey(int client, int port) {
    return (client << 8) | port;
}

constexpr unsigned kSourceCaps = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
constexpr unsigned kDestinationCaps = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
// A SysEx longer than this is handed on in pieces; the parser joins pieces of one source.
constexpr size_t kMaxReassembled = 60000;
// Room for any non-SysEx event the coder decodes (14-bit and parameter-number controllers).
constexpr long kDecodeBuffer = 32;
// The encoder's SysEx buffer: a 512-byte send always fits.
constexpr size_t kEncodeBuffer = 1024;

/// One port of another client as the service knows it.
struct PortEntry {
    int client = 0;
    int port = 0;
    std::string clientName;
    std::string portName;
    bool source = false;
    bool destination = false;
    bool present = false;
    bool goneNotified = false;  // its removal was told
    int32_t sourceUID = 0;
    int32_t destinationUID = 0;
    int32_t entityUID = 0;
    int32_t deviceUID = 0;
};

class AlsaMIDIService final : public MIDIService {
  public:
    AlsaMIDIService(SeqHandle seq, int inPort, int outPort, MIDICoder decoder, int wakeFd)
        : seq_(std::move(seq)),
          clientId_(snd_seq_client_id(seq_.get())),
          inPort_(inPort),
          outPort_(outPort),
          decoder_(std::move(decoder)),
          wake_(wakeFd) {
        std::lock_guard guard(tableLock_);
        refreshLocked();
    }

    ~AlsaMIDIService() override { stop(); }

    const char* kind() const override { return "alsa"; }
    uint32_t clientRef() const override { return static_cast<uint32_t>(clientId_); }

    void start(MIDIServiceListener& listener) override {
        listener_ = &listener;
        thread_ = std::thread([this] { run(); });
    }

    void stop() override {
        stopping_.store(true);
        const uint64_t one = 1;
        if (::write(wake_.get(), &one, sizeof one) < 0) {
            // The counter cannot overflow with one write; a failure leaves poll() to time out.
        }
        if (thread_.joinable()) thread_.join();
    }

    std::vector<MIDIEndpointRef> sources() override { return list(true); }
    std::vector<MIDIEndpointRef> destinations() override { return list(false); }

    std::optional<MIDIEndpointProperties> properties(MIDIEndpointRef ref) override {
        std::lock_guard guard(tableLock_);
        bool asSource = false;
        const PortEntry* entry = findLocked(ref, &asSource);
        if (!entry) return std::nullopt;
        MIDIEndpointProperties properties;
        properties.name = entry->portName;
        properties.uniqueID = asSource ? entry->sourceUID : entry->destinationUID;
        properties.entity = MIDIObjectIdentity{entry->portName, entry->entityUID};
        properties.device = MIDIObjectIdentity{entry->clientName, entry->deviceUID};
        properties.offline = 0;  // ALSA ports are there or gone
        return properties;
    }

    std::optional<MIDIFoundObject> findByUniqueID(int32_t uniqueID) override {
        std::lock_guard guard(tableLock_);
        refreshLocked();
        bool asSource = false;
        const auto ref = static_cast<MIDIEndpointRef>(uniqueID);
        if (!findLocked(ref, &asSource)) return std::nullopt;
        return MIDIFoundObject{ref,
                               asSource ? MIDIObjectKind::source : MIDIObjectKind::destination};
    }

    int connectSource(MIDIEndpointRef source, void* context) override {
        std::lock_guard guard(tableLock_);
        bool asSource = false;
        const PortEntry* entry = findLocked(source, &asSource);
        if (!entry || !asSource) return -ENOENT;
        const int key = addressKey(entry->client, entry->port);
        int err = snd_seq_connect_from(seq_.get(), inPort_, entry->client, entry->port);
        // Connecting an already connected source only renews its context.
        if (err == -EBUSY) err = 0;
        if (err == 0) contexts_[key] = context;
        return err;
    }

    int disconnectSource(MIDIEndpointRef source) override {
        std::lock_guard guard(tableLock_);
        bool asSource = false;
        const PortEntry* entry = findLocked(source, &asSource);
        if (!entry || !asSource) return -ENOENT;
        contexts_.erase(addressKey(entry->client, entry->port));
        return snd_seq_disconnect_from(seq_.get(), inPort_, entry->client, entry->port);
    }

    int send(MIDIEndpointRef destination, const MIDIPacketList& list) override {
        int client = 0;
        int port = 0;
        {
            std::lock_guard guard(tableLock_);
            bool asSource = true;
            const PortEntry* entry = findLocked(destination, &asSource);
            if (!entry || asSource) return -ENOENT;
            client = entry->client;
            port = entry->port;
        }
        std::lock_guard guard(sendLock_);
        // One encoder per destination: a SysEx split over sends continues where it stopped.
        MIDICoder& encoder = encoders_[addressKey(client, port)];
        if (!encoder) {
            snd_midi_event_t* coder = nullptr;
            if (snd_midi_event_new(kEncodeBuffer, &coder) < 0) return -ENOMEM;
            encoder.reset(coder);
        }
        int result = 0;
        list.forEach([&](const MIDIPacket& packet) {
            long at = 0;
            while (at < packet.length) {
                snd_seq_event_t event;
                std::memset(&event, 0, sizeof event);
                const long used = snd_midi_event_encode(encoder.get(), packet.data + at,
                                                        packet.length - at, &event);
                if (used <= 0) {
                    result = used < 0 ? static_cast<int>(used) : -EINVAL;
                    snd_midi_event_reset_encode(encoder.get());
                    return;
                }
                at += used;
                if (event.type == SND_SEQ_EVENT_NONE) continue;
                event.source.port = static_cast<unsigned char>(outPort_);
                event.dest.client = static_cast<unsigned char>(client);
                event.dest.port = static_cast<unsigned char>(port);
                event.queue = SND_SEQ_QUEUE_DIRECT;
                const int err = snd_seq_event_output_direct(seq_.get(), &event);
                if (err < 0) result = err;
            }
        });
        return result;
    }

  private:
    std::vector<MIDIEndpointRef> list(bool wantSources) {
        std::lock_guard guard(tableLock_);
        refreshLocked();
        std::vector<MIDIEndpointRef> refs;
        for (auto& [key, entry] : ports_) {
            if (!entry.present) continue;
            if (wantSources && entry.source)
                refs.push_back(static_cast<MIDIEndpointRef>(entry.sourceUID));
            if (!wantSources && entry.destination)
                refs.push_back(static_cast<MIDIEndpointRef>(entry.destinationUID));
        }
        return refs;
    }

    // The present port with that endpoint ref (which is its unique ID).
    const PortEntry* findLocked(MIDIEndpointRef ref, bool* asSource) const {
        const auto uid = static_cast<int32_t>(ref);
        for (auto& [key, entry] : ports_) {
            if (!entry.present) continue;
            if (entry.source && entry.sourceUID == uid) {
                *asSource = true;
                return &entry;
            }
            if (entry.destination && entry.destinationUID == uid) {
                *asSource = false;
                return &entry;
            }
        }
        return nullptr;
    }

    bool uidTakenLocked(int32_t uid, int key) const {
        for (auto& [k, entry] : ports_)
            if (k != key && entry.present &&
                (entry.sourceUID == uid || entry.destinationUID == uid))
                return true;
        return false;
    }

    // Reads one port; false when it is gone or not one of ours to show.
    bool readPort(int client, int port, PortEntry& entry) {
        if (client == SND_SEQ_CLIENT_SYSTEM || client == clientId_) return false;
        ClientInfo clientInfo = newClientInfo();
        PortInfo portInfo = newPortInfo();
        if (!clientInfo || !portInfo) return false;
        if (snd_seq_get_any_client_info(seq_.get(), client, clientInfo.get()) < 0) return false;
        if (snd_seq_get_any_port_info(seq_.get(), client, port, portInfo.get()) < 0) return false;
        const unsigned caps = snd_seq_port_info_get_capability(portInfo.get());
        if (caps & SND_SEQ_PORT_CAP_NO_EXPORT) return false;
        entry.client = client;
        entry.port = port;
        entry.clientName = snd_seq_client_info_get_name(clientInfo.get());
        entry.portName = snd_seq_port_info_get_name(portInfo.get());
        entry.source = (caps & kSourceCaps) == kSourceCaps;
        entry.destination = (caps & kDestinationCaps) == kDestinationCaps;
        return entry.source || entry.destination;
    }

    // Enters or updates a port; IDs come from the names, and a second port with the same
    // names gets the next free variant.
    void enterLocked(PortEntry entry) {
        const int key = addressKey(entry.client, entry.port);
        auto old = ports_.find(key);
        if (old != ports_.end() && old->second.present &&
            old->second.clientName == entry.clientName && old->second.portName == entry.portName &&
            old->second.source == entry.source && old->second.destination == entry.destination)
            return;
        const std::string base = "alsa\x1f" + entry.clientName + "\x1f" + entry.portName;
        for (int n = 1;; ++n) {
            const std::string name = n == 1 ? base : base + "#" + std::to_string(n);
            entry.sourceUID = stableUniqueID(name + "\x1fin");
            entry.destinationUID = stableUniqueID(name + "\x1fout");
            if (!uidTakenLocked(entry.sourceUID, key) &&
                !uidTakenLocked(entry.destinationUID, key)) {
                entry.entityUID = stableUniqueID(name);
                break;
            }
        }
        entry.deviceUID = stableUniqueID("alsa\x1f" + entry.clientName);
        entry.present = true;
        ports_[key] = std::move(entry);
    }

    void refreshLocked() {
        for (auto& [key, entry] : ports_) entry.present = false;
        ClientInfo clientInfo = newClientInfo();
        PortInfo portInfo = newPortInfo();
        if (!clientInfo || !portInfo) return;
        snd_seq_client_info_set_client(clientInfo.get(), -1);
        while (snd_seq_query_next_client(seq_.get(), clientInfo.get()) >= 0) {
            const int client = snd_seq_client_info_get_client(clientInfo.get());
            snd_seq_port_info_set_client(portInfo.get(), client);
            snd_seq_port_info_set_port(portInfo.get(), -1);
            while (snd_seq_query_next_port(seq_.get(), portInfo.get()) >= 0) {
                PortEntry entry;
                if (readPort(client, snd_seq_port_info_get_port(portInfo.get()), entry))
                    enterLocked(std::move(entry));
            }
        }
    }

    // The endpoints that a notice is about.
    struct Change {
        MIDIObjectKind kind;
        MIDIEndpointRef ref;
    };

    void endpointsOf(const PortEntry& entry, std::vector<Change>& out) {
        if (entry.source)
            out.push_back({MIDIObjectKind::source, static_cast<MIDIEndpointRef>(entry.sourceUID)});
        if (entry.destination)
            out.push_back(
                {MIDIObjectKind::destination, static_cast<MIDIEndpointRef>(entry.destinationUID)});
    }

    // Announce port, receive thread.
    void announce(const snd_seq_event_t& event) {
        std::vector<Change> removed, added;
        {
            std::lock_guard guard(tableLock_);
            const int client = event.data.addr.client;
            const int port = event.data.addr.port;
            // Every removal is told once, even when a listing already found the port gone.
            auto drop = [&](int key) {
                auto it = ports_.find(key);
                if (it == ports_.end() || it->second.goneNotified) return;
                endpointsOf(it->second, removed);
                contexts_.erase(key);
                it->second.present = false;
                it->second.goneNotified = true;
            };
            auto reread = [&](int c, int p, bool started) {
                const int key = addressKey(c, p);
                PortEntry entry;
                const bool shown = readPort(c, p, entry);
                auto it = ports_.find(key);
                const bool same = it != ports_.end() && it->second.present && shown &&
                                  it->second.clientName == entry.clientName &&
                                  it->second.portName == entry.portName &&
                                  it->second.source == entry.source &&
                                  it->second.destination == entry.destination;
                if (same && !started) return;
                if (!same) drop(key);
                if (shown) {
                    enterLocked(std::move(entry));
                    ports_[key].goneNotified = false;
                    endpointsOf(ports_[key], added);
                }
            };
            switch (event.type) {
                case SND_SEQ_EVENT_PORT_START:
                    reread(client, port, true);
                    break;
                case SND_SEQ_EVENT_PORT_CHANGE:
                    reread(client, port, false);
                    break;
                case SND_SEQ_EVENT_PORT_EXIT:
                    drop(addressKey(client, port));
                    break;
                case SND_SEQ_EVENT_CLIENT_EXIT:
                case SND_SEQ_EVENT_CLIENT_CHANGE: {
                    std::vector<int> ports;
                    for (auto& [key, entry] : ports_)
                        if (!entry.goneNotified && entry.client == client)
                            ports.push_back(entry.port);
                    for (int p : ports) {
                        if (event.type == SND_SEQ_EVENT_CLIENT_EXIT)
                            drop(addressKey(client, p));
                        else
                            reread(client, p, false);
                    }
                    break;
                }
                default:
                    break;
            }
        }
        for (auto& change : removed) listener_->midiObjectRemoved(change.kind, change.ref);
        for (auto& change : added) listener_->midiObjectAdded(change.kind, change.ref);
    }

    void deliver(void* context, const uint8_t* bytes, size_t size, uint64_t time) {
        MIDIPacket packet{time, bytes, static_cast<uint16_t>(size)};
        listener_->midiPacket(packet, context);
    }

    // Hands on a SysEx still being joined for this source, as it is.
    void flushSysEx(int key, void* context, uint64_t time) {
        auto it = sysex_.find(key);
        if (it == sysex_.end() || it->second.empty()) return;
        deliver(context, it->second.data(), it->second.size(), time);
        it->second.clear();
    }

    // A MIDI event from a source, receive thread.
    void midiEvent(const snd_seq_event_t& event, uint64_t time) {
        const int key = addressKey(event.source.client, event.source.port);
        void* context = nullptr;
        {
            std::lock_guard guard(tableLock_);
            auto it = contexts_.find(key);
            if (it == contexts_.end()) return;
            context = it->second;
        }
        if (event.type == SND_SEQ_EVENT_SYSEX) {
            // The sequencer carries a long SysEx in chunks; the page wants it whole.
            const auto* data = static_cast<const uint8_t*>(event.data.ext.ptr);
            const size_t length = event.data.ext.len;
            if (length == 0 || data == nullptr) return;
            std::vector<uint8_t>& joined = sysex_[key];
            if (data[0] == 0xF0 && !joined.empty()) flushSysEx(key, context, time);
            for (size_t at = 0; at < length;) {
                const size_t piece = std::min(length - at, kMaxReassembled - joined.size());
                joined.insert(joined.end(), data + at, data + at + piece);
                at += piece;
                if (joined.size() >= kMaxReassembled) flushSysEx(key, context, time);
            }
            if (!joined.empty() && joined.back() == 0xF7) flushSysEx(key, context, time);
            return;
        }
        unsigned char bytes[kDecodeBuffer];
        const long size = snd_midi_event_decode(decoder_.get(), bytes, kDecodeBuffer, &event);
        if (size <= 0) return;  // not a MIDI message
        // Only real-time messages may come between the chunks of a SysEx; anything else ends it.
        if (bytes[0] < 0xF8) flushSysEx(key, context, time);
        deliver(context, bytes, static_cast<size_t>(size), time);
    }

    void run() {
        const int count = snd_seq_poll_descriptors_count(seq_.get(), POLLIN);
        std::vector<pollfd> fds(static_cast<size_t>(std::max(count, 0)) + 1);
        snd_seq_poll_descriptors(seq_.get(), fds.data(), static_cast<unsigned>(std::max(count, 0)),
                                 POLLIN);
        fds.back() = pollfd{wake_.get(), POLLIN, 0};
        while (!stopping_.load()) {
            const int ready = ::poll(fds.data(), fds.size(), -1);
            if (ready < 0 && errno != EINTR) break;
            if (stopping_.load()) break;
            if (fds.back().revents & POLLIN) {
                uint64_t value = 0;
                if (::read(wake_.get(), &value, sizeof value) < 0) {
                    // Non-blocking: nothing to read is fine.
                }
            }
            for (;;) {
                snd_seq_event_t* event = nullptr;
                const int err = snd_seq_event_input(seq_.get(), &event);
                if (err == -EAGAIN) break;
                if (err == -ENOSPC) {
                    // The kernel's input pool overflowed: events were lost.
                    listener_->midiIOError(ENOSPC);
                    continue;
                }
                if (err < 0) break;
                if (!event) continue;
                const uint64_t time = current_host_time();
                if (event->source.client == SND_SEQ_CLIENT_SYSTEM)
                    announce(*event);
                else
                    midiEvent(*event, time);
            }
        }
    }

    SeqHandle seq_;
    const int clientId_;
    const int inPort_;
    const int outPort_;
    MIDICoder decoder_;  // receive thread only
    FileDescriptor wake_;
    MIDIServiceListener* listener_ = nullptr;
    std::atomic<bool> stopping_{false};

    std::mutex tableLock_;
    std::map<int, PortEntry> ports_;  // by address; guarded by tableLock_
    std::map<int, void*> contexts_;   // connected sources by address; guarded by tableLock_
    std::mutex sendLock_;
    std::map<int, MIDICoder> encoders_;          // by destination address; guarded by sendLock_
    std::map<int, std::vector<uint8_t>> sysex_;  // SysEx being joined, by source; receive thread

    std::thread thread_;  // last: stops before what it uses goes
};

}  // namespace

std::unique_ptr<MIDIService> openAlsaMIDIService(const std::string& clientName,
                                                 std::string& error) {
    snd_seq_t* raw = nullptr;
    int err = snd_seq_open(&raw, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
    if (err < 0) {
        error = snd_strerror(err);
        return nullptr;
    }
    SeqHandle seq(raw);
    snd_seq_set_client_name(raw, clientName.c_str());
    const unsigned type = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;
    // Without the subscription capabilities other programs do not list these ports, and the
    // other clients of this program skip them too.
    const int inPort = snd_seq_create_simple_port(raw, "inputPort", SND_SEQ_PORT_CAP_WRITE, type);
    const int outPort = snd_seq_create_simple_port(raw, "outputPort", SND_SEQ_PORT_CAP_READ, type);
    if (inPort < 0 || outPort < 0) {
        error = snd_strerror(inPort < 0 ? inPort : outPort);
        return nullptr;
    }
    err = snd_seq_connect_from(raw, inPort, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
    if (err < 0) {
        error = snd_strerror(err);
        return nullptr;
    }
    snd_seq_set_input_buffer_size(raw, 65536);
    snd_midi_event_t* coder = nullptr;
    if ((err = snd_midi_event_new(kDecodeBuffer, &coder)) < 0) {
        error = snd_strerror(err);
        return nullptr;
    }
    MIDICoder decoder(coder);
    snd_midi_event_no_status(coder, 1);  // every decoded message carries its status
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<AlsaMIDIService>(std::move(seq), inPort, outPort, std::move(decoder),
                                             wake);
}

}  // namespace lumetta::midi
