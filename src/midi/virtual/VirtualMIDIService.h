#pragma once

// An in-process MIDI service with the semantics of the platform's: sources and destinations
// with unique IDs and names, add/remove notices, subscriptions, and a receive thread per client
// that delivers timed packets. It offers a loopback pair: what is sent to the destination
// "Lumetta Loopback" comes back from the source of the same name.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "midi/MIDIService.h"

namespace lumetta::midi {

class VirtualMIDIService;

/// The virtual MIDI world that every VirtualMIDIService of the process sees. Thread-safe.
class VirtualMIDISystem : public std::enable_shared_from_this<VirtualMIDISystem> {
  public:
    static constexpr const char* kLoopbackName = "Lumetta Loopback";

    /// Called with each packet sent to a destination, on the sending thread.
    using Receiver = std::function<void(const MIDIPacket& packet)>;

    /// How an endpoint presents itself.
    struct EndpointSpec {
        std::string name;
        int32_t uniqueID = 0;  ///< 0: derived from the names
        std::optional<MIDIObjectIdentity> entity;
        std::optional<MIDIObjectIdentity> device;
        std::optional<int32_t> offline;
    };

    /// The process's system, made with the loopback pair on first use.
    static std::shared_ptr<VirtualMIDISystem> shared();
    /// A separate system (tests); `withLoopback` adds the loopback pair.
    static std::shared_ptr<VirtualMIDISystem> create(bool withLoopback);

    /// Opens a client on this system; its receive thread starts with MIDIService::start.
    std::unique_ptr<MIDIService> openClient(const std::string& clientName);

    /// Adds a source or destination and tells every client. Any thread.
    MIDIEndpointRef addSource(EndpointSpec spec);
    MIDIEndpointRef addDestination(EndpointSpec spec, Receiver receiver);
    /// Removes an endpoint, ends its subscriptions and tells every client.
    bool remove(MIDIEndpointRef ref);
    /// Sets or clears a destination's offline property.
    bool setOffline(MIDIEndpointRef ref, std::optional<int32_t> offline);
    /// Delivers bytes from a source to every client subscribed to it, as one packet stamped
    /// `hostTime` (0: now). False when there is no such source. Any thread.
    bool emit(MIDIEndpointRef source, const uint8_t* bytes, size_t size, uint64_t hostTime = 0);
    /// Reports an I/O error with `code` to every client.
    void raiseIOError(int32_t code);
    /// The loopback pair (0 when this system has none).
    MIDIEndpointRef loopbackSource() const { return loopbackSource_; }
    MIDIEndpointRef loopbackDestination() const { return loopbackDestination_; }

    /// Most queued items per client; beyond it packets are dropped and an I/O error reported.
    static constexpr size_t kQueueLimit = 1 << 16;

  private:
    friend class VirtualMIDIService;
    struct Endpoint {
        MIDIObjectKind kind;
        EndpointSpec spec;
        std::shared_ptr<Receiver> receiver;
    };
    struct Subscription {
        VirtualMIDIService* service;
        void* context;
    };

    VirtualMIDISystem() = default;
    void addLoopback();
    MIDIEndpointRef add(MIDIObjectKind kind, EndpointSpec spec, Receiver receiver);

    // For VirtualMIDIService.
    void attach(VirtualMIDIService* service);
    void detach(VirtualMIDIService* service);
    std::vector<MIDIEndpointRef> list(MIDIObjectKind kind);
    std::optional<MIDIEndpointProperties> properties(MIDIEndpointRef ref);
    std::optional<MIDIFoundObject> findByUniqueID(int32_t uniqueID);
    int subscribe(VirtualMIDIService* service, MIDIEndpointRef source, void* context);
    int unsubscribe(VirtualMIDIService* service, MIDIEndpointRef source);
    int deliver(MIDIEndpointRef destination, const MIDIPacketList& list);

    mutable std::mutex lock_;
    MIDIEndpointRef nextRef_ = 1;
    uint32_t nextClient_ = 1;
    std::map<MIDIEndpointRef, Endpoint> endpoints_;
    std::multimap<MIDIEndpointRef, Subscription> subscriptions_;  // by source
    std::vector<VirtualMIDIService*> services_;
    MIDIEndpointRef loopbackSource_ = 0;
    MIDIEndpointRef loopbackDestination_ = 0;
};

/// One client's connection to a VirtualMIDISystem, with its own receive thread.
class VirtualMIDIService final : public MIDIService {
  public:
    VirtualMIDIService(std::shared_ptr<VirtualMIDISystem> system, uint32_t clientRef);
    ~VirtualMIDIService() override;
    VirtualMIDIService(const VirtualMIDIService&) = delete;
    VirtualMIDIService& operator=(const VirtualMIDIService&) = delete;

    const char* kind() const override { return "virtual"; }
    uint32_t clientRef() const override { return clientRef_; }
    void start(MIDIServiceListener& listener) override;
    void stop() override;
    std::vector<MIDIEndpointRef> sources() override;
    std::vector<MIDIEndpointRef> destinations() override;
    std::optional<MIDIEndpointProperties> properties(MIDIEndpointRef ref) override;
    std::optional<MIDIFoundObject> findByUniqueID(int32_t uniqueID) override;
    int connectSource(MIDIEndpointRef source, void* context) override;
    int disconnectSource(MIDIEndpointRef source) override;
    int send(MIDIEndpointRef destination, const MIDIPacketList& list) override;

  private:
    friend class VirtualMIDISystem;
    enum class ItemKind { packet, added, removed, error };
    struct Item {
        ItemKind kind;
        uint64_t timeStamp = 0;
        std::vector<uint8_t> bytes;
        void* context = nullptr;
        MIDIObjectKind objectKind = MIDIObjectKind::other;
        MIDIEndpointRef ref = 0;
        int32_t code = 0;
    };

    // Called by the system under its lock; takes only the queue lock.
    void enqueue(Item item);
    void run();

    std::shared_ptr<VirtualMIDISystem> system_;
    const uint32_t clientRef_;
    MIDIServiceListener* listener_ = nullptr;
    std::mutex queueLock_;
    std::condition_variable wake_;
    std::deque<Item> queue_;   // guarded by queueLock_
    bool stopping_ = false;    // guarded by queueLock_; with wake_ it stops the thread
    bool overflowed_ = false;  // guarded by queueLock_
    std::thread thread_;       // last: stops before what it uses goes
};

}  // namespace lumetta::midi
