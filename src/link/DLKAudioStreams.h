#pragma once

// Audio to and from a connected device. Control goes over the device connection as type-4
// frames; the PCM goes over a second TCP connection that the device opens to a listener of
// ours, whose port the start frame announces. Everything runs on the main thread, so the
// delegates are called there too.

#include <array>

#include "audio/AudioStreams.h"
#include "link/DLKNetServer.h"

namespace lumetta::link {

class DLKConnection;

/// PCM to the device: pulls from its delegate 8,192 bytes at a time as the socket takes them.
class DLKAudioOutputStream final : public audio::AudioOutputStream, private DLKNetServerDelegate {
  public:
    explicit DLKAudioOutputStream(DLKConnection& connection);
    DLKAudioOutputStream(const DLKAudioOutputStream&) = delete;
    DLKAudioOutputStream& operator=(const DLKAudioOutputStream&) = delete;

    /// The listener for the device's audio connection; the connection starts and stops it.
    bool startServer() { return server_.startServer(); }
    void stopServer() { server_.stopServer(); }
    uint16_t portNo() const { return server_.portNo(); }
    /// True while the device holds its audio connection.
    bool connected() const { return server_.hasConnection(); }

    void ASBD(audio::AudioStreamDescription& description) const override;
    void setDelegate(audio::AudioOutputStreamDelegate* delegate) override { delegate_ = delegate; }
    /// Asks the device to connect and play (frame 4/1 with the listener's port); `uid` ignored.
    void start(const std::string& uid) override;
    /// Frame 4/2.
    void pause() override;
    /// Frame 4/3, then closes the device's audio connection.
    void stop() override;
    float volume() const override;
    /// The link has no rate control: always 1.0.
    float speed() const override { return 1.0f; }
    /// Only 0.0-1.0: frame 4/9 with value × 127.
    void setVolume(float volume) override;
    /// Accepted and ignored: the link plays at the device's rate.
    void setSpeed(float) override {}
    unsigned numberOfChannels() const override { return 2; }
    float peakPowerForChannel(unsigned channel) const override;
    double currentTime() const override;
    /// 0 without the device's audio connection, else the device's status byte.
    int status() const override;

  private:
    void streamEventOpenCompleted(DLKNetServer& server) override;
    void streamHasBytesAvailable(DLKNetServer& server) override;
    void streamHasSpaceAvailable(DLKNetServer& server) override;
    void streamErrorOccurred(DLKNetServer&) override {}
    void streamEndEncountered(DLKNetServer&) override {}

    DLKConnection& connection_;
    audio::AudioOutputStreamDelegate* delegate_ = nullptr;
    int64_t length_ = 0;
    int64_t offset_ = 0;
    std::array<uint8_t, 8192> buffer_{};
    DLKNetServer server_;
};

/// PCM from the device: hands whole stereo frames to its delegate as they arrive.
class DLKAudioInputStream final : public audio::AudioInputStream, private DLKNetServerDelegate {
  public:
    explicit DLKAudioInputStream(DLKConnection& connection);
    DLKAudioInputStream(const DLKAudioInputStream&) = delete;
    DLKAudioInputStream& operator=(const DLKAudioInputStream&) = delete;

    bool startServer() { return server_.startServer(); }
    void stopServer() { server_.stopServer(); }
    uint16_t portNo() const { return server_.portNo(); }
    bool connected() const { return server_.hasConnection(); }

    void ASBD(audio::AudioStreamDescription& description) const override;
    void setDelegate(audio::AudioInputStreamDelegate* delegate) override { delegate_ = delegate; }
    /// Frame 4/4 with the listener's port; `uid` ignored.
    void start(const std::string& uid) override;
    /// Frame 4/5.
    void pause() override;
    /// Frame 4/6. With `atOnce` the audio connection closes now and the delegate hears nothing;
    /// otherwise the device ends it and the delegate hears `inputStreamDidClosed`.
    void stop(bool atOnce) override;
    /// Frame 4/11 with the low 8 bits; the mode's meaning is the device's.
    void inputMode(int32_t mode);
    float volume() const override;
    /// Only 0.0-1.0: frame 4/10 with value × 127.
    void setVolume(float volume) override;
    unsigned numberOfChannels() const override { return 2; }
    float peakPowerForChannel(unsigned channel) const override;
    double currentTime() const override;
    int status() const override;

  private:
    void streamEventOpenCompleted(DLKNetServer& server) override;
    void streamHasBytesAvailable(DLKNetServer& server) override;
    void streamHasSpaceAvailable(DLKNetServer&) override {}
    void streamErrorOccurred(DLKNetServer&) override {}
    void streamEndEncountered(DLKNetServer&) override {}

    DLKConnection& connection_;
    audio::AudioInputStreamDelegate* delegate_ = nullptr;
    int64_t offset_ = 0;
    std::array<uint8_t, 8192> buffer_{};
    DLKNetServer server_;
};

}  // namespace lumetta::link
