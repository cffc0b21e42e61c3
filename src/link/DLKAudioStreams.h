#pragma once

// Audio to and from a connected device. Control goes over the device connection as type-4
// frames; the PCM goes over a second TCP connection that the device opens to a listener of
// ours, whose port the start frame announces. Everything runs on the main thread, so the
// delegates are called there too.

#include <array>
#include <type_traits>

#include "audio/AudioStreams.h"
#include "link/DLKNetServer.h"

namespace lumetta::link {

class DLKConnection;

/// Which way a link stream's audio goes, and so which half of the device's audio status and
/// which control frames are its own.
enum class DLKAudioDirection { output, input };

/// What the link's output and input streams share: the listener for the device's audio
/// connection, the buffer, the control frames that start, pause and set the volume, and what
/// is read back from the device's audio status. Main thread only; neither copyable nor movable,
/// since the listener points at it.
template <DLKAudioDirection Direction>
class DLKAudioStream : public std::conditional_t<Direction == DLKAudioDirection::output,
                                                 audio::AudioOutputStream, audio::AudioInputStream>,
                       protected DLKNetServerDelegate {
  public:
    using Delegate =
        std::conditional_t<Direction == DLKAudioDirection::output, audio::AudioOutputStreamDelegate,
                           audio::AudioInputStreamDelegate>;

    DLKAudioStream(const DLKAudioStream&) = delete;
    DLKAudioStream& operator=(const DLKAudioStream&) = delete;

    /// The listener for the device's audio connection; the connection starts and stops it.
    bool startServer() { return server_.startServer(); }
    void stopServer() { server_.stopServer(); }
    uint16_t portNo() const { return server_.portNo(); }
    /// True while the device holds its audio connection.
    bool connected() const { return server_.hasConnection(); }

    void ASBD(audio::AudioStreamDescription& description) const override;
    void setDelegate(Delegate* delegate) override { delegate_ = delegate; }
    /// Asks the device to connect to the listener and start (frame 4/1 for output, 4/4 for
    /// input, with the listener's port); `uid` ignored.
    void start(const std::string& uid) override;
    /// Frame 4/2 for output, 4/5 for input.
    void pause() override;
    float volume() const override;
    /// Only 0.0-1.0: frame 4/9 for output, 4/10 for input, with value × 127.
    void setVolume(float volume) override;
    unsigned numberOfChannels() const override { return 2; }
    float peakPowerForChannel(unsigned channel) const override;
    double currentTime() const override;
    /// 0 without the device's audio connection, else the device's status byte.
    int status() const override;

  protected:
    explicit DLKAudioStream(DLKConnection& connection);
    ~DLKAudioStream() override = default;

    void streamErrorOccurred(DLKNetServer&) override {}
    void streamEndEncountered(DLKNetServer&) override {}

    DLKConnection& connection_;
    Delegate* delegate_ = nullptr;
    int64_t offset_ = 0;
    std::array<uint8_t, 8192> buffer_{};
    DLKNetServer server_;
};

extern template class DLKAudioStream<DLKAudioDirection::output>;
extern template class DLKAudioStream<DLKAudioDirection::input>;

/// PCM to the device: pulls from its delegate 8,192 bytes at a time as the socket takes them.
class DLKAudioOutputStream final : public DLKAudioStream<DLKAudioDirection::output> {
  public:
    explicit DLKAudioOutputStream(DLKConnection& connection);

    /// Frame 4/3, then closes the device's audio connection.
    void stop() override;
    /// The link has no rate control: always 1.0.
    float speed() const override { return 1.0f; }
    /// Accepted and ignored: the link plays at the device's rate.
    void setSpeed(float) override {}

  private:
    void streamEventOpenCompleted(DLKNetServer& server) override;
    void streamHasBytesAvailable(DLKNetServer& server) override;
    void streamHasSpaceAvailable(DLKNetServer& server) override;

    int64_t length_ = 0;
};

/// PCM from the device: hands whole stereo frames to its delegate as they arrive.
class DLKAudioInputStream final : public DLKAudioStream<DLKAudioDirection::input> {
  public:
    explicit DLKAudioInputStream(DLKConnection& connection);

    /// Frame 4/6. With `atOnce` the audio connection closes now and the delegate hears nothing;
    /// otherwise the device ends it and the delegate hears `inputStreamDidClosed`.
    void stop(bool atOnce) override;
    /// Frame 4/11 with the low 8 bits; the mode's meaning is the device's.
    void inputMode(int32_t mode);

  private:
    void streamEventOpenCompleted(DLKNetServer& server) override;
    void streamHasBytesAvailable(DLKNetServer& server) override;
    void streamHasSpaceAvailable(DLKNetServer&) override {}
};

}  // namespace lumetta::link
