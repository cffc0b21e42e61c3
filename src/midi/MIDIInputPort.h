#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "midi/MIDIDelegates.h"
#include "midi/MIDIParser.h"
#include "midi/MIDIService.h"

namespace lumetta::midi {

class MIDIClient;

/// The client's input port: lists the sources, connects them by unique ID and feeds each
/// source's packets through that source's own MIDIParser to the delegate.
///
/// Built, used and destroyed on the main thread; read() runs on the MIDI receive thread.
/// Owned by its MIDIClient; neither copyable nor movable (the service holds its parsers).
class MIDIInputPort {
  public:
    /// `client` and `service` outlive the port. `uid` is the client's UID (kept, not used).
    MIDIInputPort(MIDIClient& client, MIDIService& service, int32_t uid);
    /// Disconnects every source.
    ~MIDIInputPort();
    MIDIInputPort(const MIDIInputPort&) = delete;
    MIDIInputPort& operator=(const MIDIInputPort&) = delete;

    MIDIClient& client() const { return client_; }

    /// The dictionaries of the current sources, rebuilt on every call.
    std::vector<nlohmann::json> endpoints();
    /// The dictionary of one endpoint; nullopt when its properties cannot be read.
    std::optional<nlohmann::json> propertyWithEndpointRef(MIDIEndpointRef ref);
    /// The source named by the dictionary's "MIDIEndpointUIDKey"; 0 when there is none.
    MIDIEndpointRef endpointRefWithDictionay(const nlohmann::json& dictionary);

    /// Resets the source's parser (made on first use) and subscribes to the source. Returns the
    /// service's status, 0 on success.
    int connect(MIDIEndpointRef ref);
    /// Unsubscribes from the source.
    void disconnect(MIDIEndpointRef ref);
    /// Connects the source of the dictionary; tells the client delegate when that fails.
    void connectEndpoint(const nlohmann::json& dictionary);
    /// Connects or disconnects every current source, with no failure callback.
    void connectAllEndpoints();
    void disconnectAllEndpoints();
    /// Disconnects the source of the dictionary, if it resolves.
    void disconnectEndpoint(const nlohmann::json& dictionary);

    /// Receives every parsed message; not owned. Read on the receive thread, so a delegate
    /// being cleared must stay alive until the client's service has stopped.
    MIDIInputDelegate* delegate() const { return delegate_.load(std::memory_order_acquire); }
    void setDelegate(MIDIInputDelegate* delegate) {
        delegate_.store(delegate, std::memory_order_release);
    }

    /// One packet of a connected source; `context` is that source's parser. Receive thread.
    void read(const MIDIPacket& packet, void* context);

  private:
    MIDIClient& client_;
    MIDIService& service_;
    std::atomic<MIDIInputDelegate*> delegate_{nullptr};
    // Made on the main thread at a source's first connection and kept for the port's life;
    // the receive thread reaches a parser only through its connection context.
    std::map<MIDIEndpointRef, std::unique_ptr<MIDIParser>> parsers_;
};

}  // namespace lumetta::midi
