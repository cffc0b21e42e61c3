#pragma once

// The ALSA sequencer operations the MIDI service uses, behind one small interface: the real
// alsa-lib client is in AlsaSequencer.h, and the tests put a fake sequencer in its place.
// Events are alsa-lib's own snd_seq_event_t, so the MIDI event coder (which runs in user space)
// is the same in both.

#include <alsa/asoundlib.h>
#include <poll.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Bits of newer kernels that older alsa-lib headers do not name yet.
#ifndef SND_SEQ_PORT_CAP_INACTIVE
#define SND_SEQ_PORT_CAP_INACTIVE (1 << 8)
#endif
#ifndef SND_SEQ_PORT_CAP_UMP_ENDPOINT
#define SND_SEQ_PORT_CAP_UMP_ENDPOINT (1 << 9)
#endif

namespace lumetta::midi {

/// One client of the sequencer as a query reports it.
struct SequencerClient {
    int client = 0;
    std::string name;
    bool kernel = false;  ///< a kernel client (a sound card's driver, Midi Through)
    int card = -1;        ///< the sound card it belongs to, -1 for none
};

/// One port of a client as a query reports it.
struct SequencerPort {
    int client = 0;
    int port = 0;
    std::string name;
    unsigned capability = 0;  ///< SND_SEQ_PORT_CAP_* bits
    unsigned type = 0;        ///< SND_SEQ_PORT_TYPE_* bits
};

/// One open sequencer client.
///
/// Queries, connects and port creation may come from any thread. eventInput() is called only by
/// the receive thread and eventOutputDirect() only by the sender thread: alsa-lib keeps one
/// buffer per direction in the handle. Errors are negative errno values, as alsa-lib's.
class Sequencer {
  public:
    virtual ~Sequencer() = default;

    /// This client's number.
    virtual int clientId() const = 0;
    /// Creates a port of this client; its number or an error.
    virtual int createPort(const std::string& name, unsigned capability, unsigned type) = 0;
    /// Cells of the kernel's input pool of this client (snd_seq_set_client_pool_input). Resizing
    /// drops what is queued, so it comes before any subscription.
    virtual int setInputPool(size_t cells) = 0;
    /// The user-space input buffer in bytes (snd_seq_set_input_buffer_size); it drops pending
    /// input too.
    virtual int setInputBufferSize(size_t bytes) = 0;

    /// Subscribes our port `myPort` to the port client:port (events flow to us).
    virtual int connectFrom(int myPort, int client, int port) = 0;
    virtual int disconnectFrom(int myPort, int client, int port) = 0;
    /// Subscribes the port client:port to our port `myPort` (events flow from us).
    virtual int connectTo(int myPort, int client, int port) = 0;
    virtual int disconnectTo(int myPort, int client, int port) = 0;
    /// Whether the subscription sender -> dest exists (snd_seq_get_port_subscription).
    virtual bool subscribed(int senderClient, int senderPort, int destClient, int destPort) = 0;

    /// Every client, in client number order (snd_seq_query_next_client).
    virtual std::vector<SequencerClient> clients() = 0;
    /// Every port of one client, in port order (snd_seq_query_next_port).
    virtual std::vector<SequencerPort> ports(int client) = 0;
    /// One client or one port; nullopt when it is gone.
    virtual std::optional<SequencerClient> clientInfo(int client) = 0;
    virtual std::optional<SequencerPort> portInfo(int client, int port) = 0;
    /// The long name of a sound card (snd_card_get_longname): for a USB device it carries the
    /// bus path, which tells two identical devices apart. Empty when it cannot be read.
    virtual std::string cardLongName(int card) = 0;

    /// The descriptors to poll for input.
    virtual std::vector<pollfd> pollDescriptors() = 0;
    /// The next input event, valid until the next call; 0 or more on success, -EAGAIN when
    /// nothing is pending, -ENOSPC when the kernel's input pool overflowed and events were lost.
    /// Receive thread only.
    virtual int eventInput(snd_seq_event_t** event) = 0;
    /// Writes one event at once, without a queue. Sender thread only.
    virtual int eventOutputDirect(snd_seq_event_t* event) = 0;
};

/// The time base of output pacing. The tests use a fake one that advances when waited on.
class PacingClock {
  public:
    using Duration = std::chrono::nanoseconds;

    virtual ~PacingClock() = default;
    /// Monotonic time.
    virtual Duration now() = 0;
    /// Waits on `wake` (holding `lock`) until `deadline` or a notification, whichever first.
    virtual void waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
                           Duration deadline) = 0;
};

}  // namespace lumetta::midi
