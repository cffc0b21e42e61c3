#pragma once

#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "midi/MIDIService.h"

namespace lumetta::midi {

class MIDIClient;

/// One connected destination of an output port.
struct MIDIOutputEndpoint {
    MIDIEndpointRef endpointRef = 0;
};

/// The client's output port: lists the destinations, keeps the connected ones in connection
/// order and sends bytes to each of them.
///
/// Built and connected on the main thread; send() may also come from the MIDI receive thread
/// (thru). The connected list has its own lock. Owned by its MIDIClient.
class MIDIOutputPort {
  public:
    /// The most bytes one packet carries; longer sends go out as consecutive packets.
    static constexpr int32_t kMaxPacketBytes = 512;

    /// `client` and `service` outlive the port.
    MIDIOutputPort(MIDIClient& client, MIDIService& service);
    MIDIOutputPort(const MIDIOutputPort&) = delete;
    MIDIOutputPort& operator=(const MIDIOutputPort&) = delete;

    MIDIClient& client() const { return client_; }

    /// The dictionaries of the current destinations, rebuilt on every call.
    std::vector<nlohmann::json> endpoints();
    std::optional<nlohmann::json> propertyWithEndpointRef(MIDIEndpointRef ref);
    /// The destination named by the dictionary's "MIDIEndpointUIDKey"; 0 when there is none.
    MIDIEndpointRef endpointRefWithDictionay(const nlohmann::json& dictionary);

    /// Adds the destination to the connected list unless it is there already.
    void connect(MIDIEndpointRef ref);
    /// Removes the destination from the connected list.
    void disconnect(MIDIEndpointRef ref);
    /// Connects the destination of the dictionary; an offline one is refused and reported to
    /// the client delegate.
    void connectEndpoint(const nlohmann::json& dictionary);
    void connectAllEndpoints();
    /// Empties the connected list.
    void disconnectAllEndpoints();
    void disconnectEndpoint(const nlohmann::json& dictionary);

    /// Sends `size` bytes to every connected destination, in connection order, time-stamped
    /// now. Nothing for null or size <= 0. Above 512 bytes the data goes out as consecutive
    /// packets of at most 512 bytes, in order, with no other send in between. Any thread.
    void send(const uint8_t* bytes, int32_t size);
    /// Sends a prepared list to every connected destination; errors are ignored. Any thread.
    void sendPacketList(const MIDIPacketList& list);

    /// The connected destinations, in connection order. Any thread.
    std::vector<MIDIEndpointRef> connected() const;

  private:
    void sendLocked(const MIDIPacketList& list);

    MIDIClient& client_;
    MIDIService& service_;
    mutable std::mutex lock_;
    std::vector<MIDIOutputEndpoint> connected_;  // guarded by lock_
};

}  // namespace lumetta::midi
