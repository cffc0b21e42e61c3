#pragma once

// What the MIDI client needs of the platform's MIDI service, and nothing more. The ALSA
// sequencer implements it in midi/alsa, an in-process virtual service in midi/virtual.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "midi/MIDIPacket.h"

namespace lumetta::midi {

/// A service-local handle of an endpoint; 0 is no endpoint.
using MIDIEndpointRef = uint32_t;

/// The kinds of object a notice can be about.
enum class MIDIObjectKind { other, source, destination };

/// Name and unique ID of a device or an entity.
struct MIDIObjectIdentity {
    std::string name;
    int32_t uniqueID = 0;
};

/// What the service reports about one endpoint.
struct MIDIEndpointProperties {
    std::string name;      ///< the endpoint's own name
    int32_t uniqueID = 0;  ///< stable across restarts and replugs of the same device
    std::optional<MIDIObjectIdentity> entity;
    std::optional<MIDIObjectIdentity> device;
    /// The offline property when the service has one; absent when it cannot be read.
    std::optional<int32_t> offline;
};

/// An endpoint found by its unique ID.
struct MIDIFoundObject {
    MIDIEndpointRef ref = 0;
    MIDIObjectKind kind = MIDIObjectKind::other;
};

/// Receives what the service reports. Every call comes on the service's receive thread, except
/// midiIOError, which a service that writes on a thread of its own (ALSA's paced output) or
/// reports a failed send may also call from that thread or from the sending one.
class MIDIServiceListener {
  public:
    /// A packet from a connected source; `context` is what connectSource was given.
    virtual void midiPacket(const MIDIPacket& packet, void* context) = 0;
    /// An object appeared.
    virtual void midiObjectAdded(MIDIObjectKind kind, MIDIEndpointRef ref) = 0;
    /// An object disappeared; `ref` no longer resolves.
    virtual void midiObjectRemoved(MIDIObjectKind kind, MIDIEndpointRef ref) = 0;
    /// The service lost data or failed to deliver (`code` is the platform's error number).
    virtual void midiIOError(int32_t code) = 0;

  protected:
    ~MIDIServiceListener() = default;
};

/// One client's connection to the MIDI service, with one input and one output port.
///
/// Queries, connects and sends may come from any thread. The listener is called on the receive
/// thread, which the service owns and stops before its destructor returns; nothing is called
/// after stop() or destruction.
class MIDIService {
  public:
    virtual ~MIDIService() = default;

    /// Which implementation this is ("alsa", "virtual"), for the log.
    virtual const char* kind() const = 0;
    /// The platform's number of this client.
    virtual uint32_t clientRef() const = 0;

    /// Starts the receive thread; `listener` must outlive the service or stop(). Call once.
    virtual void start(MIDIServiceListener& listener) = 0;
    /// Stops and joins the receive thread; no listener call runs after it returns.
    virtual void stop() = 0;

    /// The current sources (others' readable ports) and destinations, in a stable order.
    virtual std::vector<MIDIEndpointRef> sources() = 0;
    virtual std::vector<MIDIEndpointRef> destinations() = 0;
    /// The properties of a present endpoint; nullopt when it cannot be read.
    virtual std::optional<MIDIEndpointProperties> properties(MIDIEndpointRef ref) = 0;
    /// The present endpoint with that unique ID.
    virtual std::optional<MIDIFoundObject> findByUniqueID(int32_t uniqueID) = 0;

    /// Subscribes the input port to a source; its packets come with `context`. 0 or an error.
    virtual int connectSource(MIDIEndpointRef source, void* context) = 0;
    /// Ends that subscription. 0 or an error.
    virtual int disconnectSource(MIDIEndpointRef source) = 0;
    /// Sends every packet of `list` through the output port to `destination`. 0 or an error; a
    /// service that writes later reports a write that fails then through midiIOError. Never
    /// waits for the destination to take the bytes.
    virtual int send(MIDIEndpointRef destination, const MIDIPacketList& list) = 0;
};

}  // namespace lumetta::midi
