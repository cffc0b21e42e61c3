#pragma once

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "audio/AudioStreams.h"
#include "bridge/Liveness.h"
#include "bridge/Module.h"
#include "bridge/NativeCall.h"
#include "link/DLKConnection.h"
#include "link/DLKDiscovery.h"
#include "link/DLKMIDIService.h"

namespace lumetta::modules::dlk {

/// Turns found devices into "dlk" "found" events. Main thread.
class _DLKDiscoveryDelegate final : public ::lumetta::link::DLKDiscoveryDelegate {
  public:
    /// The bridge that hears the events; not owned, set before any callback.
    bridge::NativeCall* native = nullptr;
    void discoveryDeviceDidFound(const nlohmann::json& device) override;
};

/// Turns the device connection's reports and its MIDI into "dlk" events. Main thread.
class _DLKConnectionDelegate final : public ::lumetta::link::DLKConnectionDelegate,
                                     public ::lumetta::link::DLKMIDIInputDelegate {
  public:
    bridge::NativeCall* native = nullptr;
    void connectionFailed(const nlohmann::json& device) override;
    void connectionDidEstablished(const nlohmann::json& device) override;
    void connectionDidClosed(const nlohmann::json& device) override;
    void connectionErrorDidOccur(const nlohmann::json& device) override;
    /// "dlk" "message" with the bytes and the device's time stamp; the cable is not carried.
    void midiInputMessage(const uint8_t* bytes, int32_t size, uint32_t timeStamp,
                          int32_t cable) override;

  private:
    void post(const char* name, const nlohmann::json& device);
};

/// The `dlk` module: owns the discovery and the one device connection for the bridge's life,
/// registers the `$$dlk_*` functions and offers the connection's audio streams to the player
/// and recorder. Built, called and destroyed on the main thread (calls from the loopback
/// server's thread are carried over to it).
class DlkModule final : public bridge::Module, public lumetta::audio::LinkAudioStreams {
  public:
    /// `interfaces` lists where a search announces; the system's interfaces by default.
    DlkModule(bridge::ModuleContext& ctx,
              ::lumetta::link::DLKInterfaceLister interfaces = ::lumetta::link::systemInterfaces);
    ~DlkModule() override;

    lumetta::audio::AudioOutputStream& linkOutputStream() override;
    lumetta::audio::AudioInputStream& linkInputStream() override;

    ::lumetta::link::DLKConnection& connection() { return *connection_; }
    ::lumetta::link::DLKDiscovery& discovery() { return *discovery_; }

  private:
    // Runs `work` on the main thread and returns its result; waits when called elsewhere.
    std::string onMain(std::function<std::string()> work);

    bridge::MainThread& mainThread_;
    _DLKDiscoveryDelegate discoveryAdapter_;
    _DLKConnectionDelegate connectionAdapter_;
    std::unique_ptr<::lumetta::link::DLKDiscovery> discovery_;
    std::unique_ptr<::lumetta::link::DLKConnection> connection_;
    bridge::Liveness liveness_;
};

/// The `dlk` module's descriptor.
bridge::ModuleDescriptor descriptor();

}  // namespace lumetta::modules::dlk
