#pragma once

// A fake ALSA sequencer for the MIDI service's tests: clients and ports with names,
// capabilities and types, sound cards with long names, subscriptions with the kernel's rules,
// announcements of port start, change and exit, and per-client input queues whose faults the
// test controls. A hardware port answers -ENODEV unless it is subscribed and has a 4 KiB output
// buffer that drains at the MIDI wire rate on a fake clock; what does not fit is lost without
// an error, as the kernel's rawmidi bridge may do. The MIDI event coder is alsa-lib's own.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/raii/UniqueFd.h"
#include "midi/alsa/Sequencer.h"

namespace lumetta::midi::testing {

/// A pacing clock that stands still until waited on or advanced. When `autoAdvance` is set, a
/// wait jumps straight to its deadline (virtual time passes as fast as the waiter wants); when
/// it is cleared, waiters poll until the test advances the clock.
class FakeClock final : public PacingClock {
  public:
    Duration now() override;
    void waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
                   Duration deadline) override;
    void advance(Duration by);
    void setAutoAdvance(bool on) { autoAdvance_.store(on); }

  private:
    std::mutex lock_;
    Duration now_{std::chrono::seconds(1)};
    std::atomic<bool> autoAdvance_{true};
};

/// A sequencer port address.
struct Address {
    int client = 0;
    int port = 0;
    bool operator==(const Address& other) const = default;
    bool operator<(const Address& other) const {
        return client != other.client ? client < other.client : port < other.port;
    }
};

class FakeSequencer;

/// The kernel's side: every client, port and subscription. Thread-safe.
class FakeSequencerSystem : public std::enable_shared_from_this<FakeSequencerSystem> {
  public:
    static constexpr size_t kHardwareBuffer = 4096;
    static constexpr int64_t kWireBytesPerSecond = 3125;
    static constexpr unsigned kDuplex = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ |
                                        SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    static constexpr unsigned kHardwareType =
        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE | SND_SEQ_PORT_TYPE_PORT;
    static constexpr unsigned kApplicationType =
        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;

    static std::shared_ptr<FakeSequencerSystem> create();
    std::shared_ptr<FakeClock> clock() const { return clock_; }

    /// Opens a user client, as snd_seq_open plus a name would.
    std::unique_ptr<FakeSequencer> open(const std::string& name);

    /// Adds a client of another program (user) or of a driver (kernel, with its card).
    int addClient(const std::string& name, bool kernel = false, int card = -1);
    void setCardLongName(int card, const std::string& longName);
    /// Adds a port at the lowest free number and announces it. Ports of kernel clients with
    /// the hardware type bit model rawmidi output.
    int addPort(int client, const std::string& name, unsigned capability, unsigned type);
    void renamePort(Address port, const std::string& name);
    /// Removes a port: its subscriptions end and its exit is announced.
    void removePort(Address port);
    /// Removes a client with its ports.
    void removeClient(int client);

    /// A USB MIDI interface: a kernel client on `card` with one duplex hardware port.
    Address addHardwarePort(const std::string& clientName, const std::string& portName, int card,
                            const std::string& longName);
    /// Another program's duplex port.
    Address addSoftwarePort(const std::string& clientName, const std::string& portName);

    /// Subscribes as a third program would; `exclusive` holds the sender port for itself.
    int subscribe(Address sender, Address dest, bool exclusive, int byClient = -1);
    bool isSubscribed(Address sender, Address dest);
    /// Called, without the lock, after each new subscription.
    void onSubscribe(std::function<void(Address sender, Address dest)> hook);

    /// The bytes that reached a port (for a hardware port: went into its buffer).
    std::vector<uint8_t> received(Address port);
    /// Bytes a hardware port lost because its buffer was full.
    size_t dropped(Address port);
    /// The next `count` writes to a port answer `error`.
    void failWrites(Address port, int error, int count);

    /// A source sends MIDI bytes: coded into events and delivered to its subscribers.
    void emit(Address source, const std::vector<uint8_t>& bytes);
    /// A source sends one SysEx chunk as it is (the kernel's rawmidi bridge splits long ones).
    void emitSysExChunk(Address source, const std::vector<uint8_t>& chunk);

  private:
    friend class FakeSequencer;
    struct Port {
        std::string name;
        unsigned capability = 0;
        unsigned type = 0;
        bool rawmidi = false;
        std::vector<uint8_t> received;
        size_t dropped = 0;
        int64_t buffered = 0;
        PacingClock::Duration drainedAt{0};
        int failError = 0;
        int failCount = 0;
    };
    struct Client {
        std::string name;
        bool kernel = false;
        int card = -1;
        std::map<int, Port> ports;
        FakeSequencer* handle = nullptr;  // an opened client's queue
    };
    struct Subscription {
        Address sender;
        Address dest;
        bool exclusive = false;
    };

    FakeSequencerSystem();
    void announceLocked(int type, Address port);
    void deliverLocked(const snd_seq_event_t& event, const uint8_t* data, size_t size);
    int subscribeLocked(Address sender, Address dest, bool exclusive, int byClient);
    int unsubscribeLocked(Address sender, Address dest);
    void dropSubscriptionsLocked(Address port);
    Port* portLocked(Address address);
    int outputLocked(snd_seq_event_t* event);
    void fireHook(Address sender, Address dest);

    std::shared_ptr<FakeClock> clock_;
    std::mutex lock_;
    std::map<int, Client> clients_;
    std::map<int, std::string> cardNames_;
    std::vector<Subscription> subscriptions_;
    std::function<void(Address, Address)> hook_;
    int nextUserClient_ = 128;
    int nextKernelClient_ = 16;
    std::unique_ptr<snd_midi_event_t, void (*)(snd_midi_event_t*)> coder_;
};

/// One opened client: the Sequencer the service uses, with the test's fault controls.
class FakeSequencer final : public Sequencer {
  public:
    FakeSequencer(std::shared_ptr<FakeSequencerSystem> system, int client);
    ~FakeSequencer() override;

    // Sequencer
    int clientId() const override { return client_; }
    int createPort(const std::string& name, unsigned capability, unsigned type) override;
    int setInputPool(size_t cells) override;
    int setInputBufferSize(size_t bytes) override;
    int connectFrom(int myPort, int client, int port) override;
    int disconnectFrom(int myPort, int client, int port) override;
    int connectTo(int myPort, int client, int port) override;
    int disconnectTo(int myPort, int client, int port) override;
    bool subscribed(int senderClient, int senderPort, int destClient, int destPort) override;
    std::vector<SequencerClient> clients() override;
    std::vector<SequencerPort> ports(int client) override;
    std::optional<SequencerClient> clientInfo(int client) override;
    std::optional<SequencerPort> portInfo(int client, int port) override;
    std::string cardLongName(int card) override;
    std::vector<pollfd> pollDescriptors() override;
    int eventInput(snd_seq_event_t** event) override;
    int eventOutputDirect(snd_seq_event_t* event) override;

    // Controls
    /// While held, input is neither readable nor returned (the receive thread waits).
    void hold(bool on);
    /// The kernel's input pool overflows: what is queued is lost, the next read answers -ENOSPC.
    void overflow();
    /// The next read answers `error`; with `lasting`, every read until cleared (error 0).
    void failInput(int error, bool lasting);
    /// An endless stream of note-ons from `source` while on.
    void flood(bool on, Address source = {});
    /// The poll descriptor reports an error from now on.
    void breakPoll();
    /// While blocked, clients() waits at its start; waitUntilEnumerating() sees it there.
    void blockEnumeration(bool on);
    bool waitUntilEnumerating(std::chrono::milliseconds limit);
    /// Waits until the receive thread took every queued event.
    bool waitUntilDrained(std::chrono::milliseconds limit);

    int inputCalls() const { return inputCalls_.load(); }
    size_t inputPool() const { return inputPool_.load(); }
    /// Events that a resize of the input pool or buffer threw away.
    size_t discardedByResize() const { return discarded_.load(); }

  private:
    friend class FakeSequencerSystem;
    struct Queued {
        snd_seq_event_t event{};
        std::vector<uint8_t> data;
    };
    // Called by the system under its lock; takes the queue lock.
    void push(const snd_seq_event_t& event, const uint8_t* data, size_t size);
    void signalLocked();

    std::shared_ptr<FakeSequencerSystem> system_;
    const int client_;
    raii::UniqueFd eventFd_;

    std::mutex queueLock_;
    std::condition_variable drained_;
    std::deque<Queued> queue_;
    Queued current_;
    bool held_ = false;
    bool overflowed_ = false;
    int failError_ = 0;
    bool failLasting_ = false;
    bool flooding_ = false;
    Address floodSource_;
    bool broken_ = false;
    bool signalled_ = false;

    std::mutex gateLock_;
    std::condition_variable gate_;
    bool gateClosed_ = false;
    bool enumerating_ = false;

    std::atomic<int> inputCalls_{0};
    std::atomic<size_t> inputPool_{200};
    std::atomic<size_t> discarded_{0};
};

}  // namespace lumetta::midi::testing
