#pragma once

// The two audio stream interfaces the player and the recorder work against. The local audio
// output and input and the device link's streams implement them, so the player and recorder can
// switch between local hardware and a connected device without knowing which one they hold.

#include <cstdint>
#include <string>

namespace lumetta::audio {

/// Describes interleaved linear PCM, field for field as the platform's stream description.
struct AudioStreamDescription {
    double sampleRate = 0;
    uint32_t formatID = 0;  ///< `kAudioFormatLinearPCM` for every stream here.
    uint32_t formatFlags = 0;
    uint32_t bytesPerPacket = 0;
    uint32_t framesPerPacket = 0;
    uint32_t bytesPerFrame = 0;
    uint32_t channelsPerFrame = 0;
    uint32_t bitsPerChannel = 0;
    uint32_t reserved = 0;
};

/// 'lpcm', the linear PCM format id.
inline constexpr uint32_t kAudioFormatLinearPCM = 0x6C70636D;
inline constexpr uint32_t kAudioFormatFlagIsFloat = 1u << 0;
inline constexpr uint32_t kAudioFormatFlagIsBigEndian = 1u << 1;
inline constexpr uint32_t kAudioFormatFlagIsSignedInteger = 1u << 2;
inline constexpr uint32_t kAudioFormatFlagIsPacked = 1u << 3;

/// The client format of every stream: 44.1 kHz, 16-bit signed little-endian, stereo, packed.
inline AudioStreamDescription clientStreamDescription() {
    AudioStreamDescription d;
    d.sampleRate = 44100.0;
    d.formatID = kAudioFormatLinearPCM;
    d.formatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    d.bytesPerPacket = 4;
    d.framesPerPacket = 1;
    d.bytesPerFrame = 4;
    d.channelsPerFrame = 2;
    d.bitsPerChannel = 16;
    return d;
}

class AudioOutputStream;
class AudioInputStream;

/// Where an output pulls its audio from (the player). Called on the output's audio thread.
class AudioOutputStreamDelegate {
  public:
    virtual ~AudioOutputStreamDelegate() = default;
    /// Writes up to `maxLength` bytes of PCM in the output's format into `buffer` and returns
    /// the count, always a whole number of frames; 0 means nothing more comes.
    virtual int64_t outputStream(AudioOutputStream& stream, uint8_t* buffer, int64_t maxLength) = 0;
};

/// Where an input pushes its audio (the recorder). Called on the input's audio thread.
class AudioInputStreamDelegate {
  public:
    virtual ~AudioInputStreamDelegate() = default;
    /// Receives `length` bytes of PCM, a whole number of frames in the input's format.
    virtual void inputStream(AudioInputStream& stream, const uint8_t* buffer, int64_t length) = 0;
    /// The input has ended by itself (optional).
    virtual void inputStreamDidClosed(AudioInputStream& /*stream*/) {}
};

/// What the player requires of an output.
class AudioOutputStream {
  public:
    virtual ~AudioOutputStream() = default;
    /// Fills in the format of the PCM the output consumes.
    virtual void ASBD(AudioStreamDescription& description) const = 0;
    /// The object to pull data from; not owned.
    virtual void setDelegate(AudioOutputStreamDelegate* delegate) = 0;
    /// Starts or resumes playing on the device `uid` (empty: the default device).
    virtual void start(const std::string& uid) = 0;
    /// Holds playing; a later `start` resumes where it held.
    virtual void pause() = 0;
    /// Ends playing and forgets queued audio; callable from inside the delegate's pull.
    virtual void stop() = 0;
    virtual float volume() const = 0;
    virtual float speed() const = 0;
    virtual void setVolume(float volume) = 0;
    virtual void setSpeed(float speed) = 0;
    virtual unsigned numberOfChannels() const = 0;
    /// Level of one channel in dB.
    virtual float peakPowerForChannel(unsigned channel) const = 0;
    /// Seconds played since the output was last started from the stopped state.
    virtual double currentTime() const = 0;
    /// 0 stopped, 1 playing, 2 paused.
    virtual int status() const = 0;
};

/// What the recorder requires of an input.
class AudioInputStream {
  public:
    virtual ~AudioInputStream() = default;
    /// Fills in the format of the PCM the input delivers.
    virtual void ASBD(AudioStreamDescription& description) const = 0;
    /// The object to push data to; not owned.
    virtual void setDelegate(AudioInputStreamDelegate* delegate) = 0;
    /// Starts or resumes capturing from the device `uid` (empty: the default device).
    virtual void start(const std::string& uid) = 0;
    /// Holds capturing; a later `start` resumes.
    virtual void pause() = 0;
    /// Ends capturing. With `atOnce` false the delegate hears `inputStreamDidClosed`; with true
    /// it does not. Callable from inside the input's own delivery.
    virtual void stop(bool atOnce) = 0;
    virtual float volume() const = 0;
    virtual void setVolume(float volume) = 0;
    virtual unsigned numberOfChannels() const = 0;
    /// Level of one channel in dB.
    virtual float peakPowerForChannel(unsigned channel) const = 0;
    /// Seconds recorded since the input was last started from the stopped state.
    virtual double currentTime() const = 0;
    /// 0 stopped, 1 capturing, 2 paused.
    virtual int status() const = 0;
};

/// The device link's two streams, as the player and recorder modules find them. The module
/// that owns the device connection implements this; the player and recorder modules look it
/// up once every module exists (`NativeCall::module<LinkAudioStreams>()`), make themselves the
/// streams' delegates and switch to them on the page's request. The streams live as long as
/// that module.
class LinkAudioStreams {
  public:
    virtual ~LinkAudioStreams() = default;
    /// The link's output stream (audio to the device); main thread.
    virtual AudioOutputStream& linkOutputStream() = 0;
    /// The link's input stream (audio from the device); main thread.
    virtual AudioInputStream& linkInputStream() = 0;
};

}  // namespace lumetta::audio
