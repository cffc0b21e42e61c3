#pragma once

// The host's link to one device: the control connection, its frames in both directions, the
// device's time stamps and audio status, and the MIDI and audio services that use the link.

#include <array>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "link/DLKFrame.h"
#include "link/DLKNetClient.h"

namespace lumetta::link {

class DLKMIDIService;
class DLKAudioOutputStream;
class DLKAudioInputStream;

/// What a connection reports; every operation optional, each receiving the device dictionary
/// (null when there is none). Called on the main thread.
class DLKConnectionDelegate {
  public:
    virtual ~DLKConnectionDelegate() = default;
    virtual void connectionFailed(const nlohmann::json& device) { (void)device; }
    virtual void connectionDidEstablished(const nlohmann::json& device) { (void)device; }
    virtual void connectionDidClosed(const nlohmann::json& device) { (void)device; }
    virtual void connectionErrorDidOccur(const nlohmann::json& device) { (void)device; }
};

/// One device connection for the life of the bridge. Main thread only. Neither copyable nor
/// movable: its services, client and listeners point at it.
class DLKConnection final : private DLKNetClientDelegate, private DLKFrameReader::Handler {
  public:
    DLKConnection();
    /// Disconnects silently.
    ~DLKConnection() override;
    DLKConnection(const DLKConnection&) = delete;
    DLKConnection& operator=(const DLKConnection&) = delete;

    /// Drops any current connection, then connects to the dictionary's "DLKDeviceAddressKey"
    /// and "DLKDevicePortNoKey" and starts both audio listeners. Something other than an
    /// object reports `connectionFailed` at once, with no device.
    void connect(const nlohmann::json& device);
    /// Ends the connection and the audio listeners without a report, and resets all values.
    void disconnect();

    int32_t connectTimeout() const { return client_.connectTimeout(); }
    void setConnectTimeout(int32_t seconds) { client_.setConnectTimeout(seconds); }
    int32_t keepAliveTimeout() const { return client_.keepAliveTimeout(); }
    /// Sets the value and sends it to the device (frame 0/1, low 8 bits).
    void setKeepAliveTimeout(int32_t seconds);

    /// Writes one whole built frame through the control connection; its byte count, or 0 when
    /// not connected.
    int64_t writeToServer(const uint8_t* frame, size_t size);

    const KNP_AUDIO_STATUS& audioStatus() const { return audioStatus_; }
    /// Peak-hold meter reads (channel 0 left, any other right): the held peak in dB, which is
    /// then replaced by the channel's current peak.
    float outputLevel(unsigned channel);
    float inputLevel(unsigned channel);

    uint32_t connectStartTimeStamp() const { return timeStamp_[0]; }
    uint32_t outputStartTimeStamp() const { return timeStamp_[1]; }
    uint32_t outputStopTimeStamp() const { return timeStamp_[2]; }
    uint32_t inputStartTimeStamp() const { return timeStamp_[3]; }
    uint32_t inputStopTimeStamp() const { return timeStamp_[4]; }

    /// The connected (or last connected) device; absent after `disconnect`.
    const std::optional<nlohmann::json>& device() const { return device_; }
    void setDelegate(DLKConnectionDelegate* delegate) { delegate_ = delegate; }
    DLKMIDIService& midiService() { return *midiService_; }
    DLKAudioOutputStream& outputStream() { return *outputStream_; }
    DLKAudioInputStream& inputStream() { return *inputStream_; }
    DLKNetClient& client() { return client_; }

  private:
    void resetAllParameters();
    void updateMeters();
    nlohmann::json deviceOrNull() const { return device_ ? *device_ : nlohmann::json(); }
    // The byte stream has lost its framing: end the connection and report an error.
    void protocolError(const char* what);

    // Control connection callbacks (main loop).
    void streamOpenCompleted() override;
    void streamOpenFailed() override;
    void streamErrorOccurred() override;
    void streamEndEncountered() override;
    void streamHasBytesAvailable(const uint8_t* bytes, size_t size) override;
    bool streamIsMidMessage() const override { return reader_.midFrame(); }
    bool frameReceived(uint8_t type, uint8_t sub, const uint8_t* payload, size_t length) override;

    DLKConnectionDelegate* delegate_ = nullptr;
    std::optional<nlohmann::json> device_;
    std::array<uint32_t, 8> timeStamp_{};
    KNP_AUDIO_STATUS audioStatus_;
    std::array<float, 4> peakPower_{};
    DLKFrameReader reader_;
    std::unique_ptr<DLKMIDIService> midiService_;
    std::unique_ptr<DLKAudioOutputStream> outputStream_;
    std::unique_ptr<DLKAudioInputStream> inputStream_;
    DLKNetClient client_;  // after the services: it is stopped first, and nothing reaches them
};

}  // namespace lumetta::link
