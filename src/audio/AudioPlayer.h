#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "audio/AudioFile.h"
#include "audio/AudioStreams.h"

namespace lumetta::audio {

/// Hears what the player does; each gets the open file's path ("" when none).
class AudioPlayerDelegate {
  public:
    virtual ~AudioPlayerDelegate() = default;
    /// The end of the file was reached while playing (after the stop notice). Pull thread.
    virtual void audioPlayerDidEndSong(const std::string& /*path*/) {}
    /// The player stopped. Thread of the call that stopped it, or the pull thread.
    virtual void audioPlayerDidFinishPlaying(const std::string& /*path*/) {}
    /// Reading the file or playing it failed (after the stop notice). Pull thread.
    virtual void audioPlayerErrorDidOccur(const std::string& /*path*/) {}
};

/// Plays one file at a time through its current output: decodes on demand, inside the
/// output's pull, into the format the output asked for when the file was opened.
///
/// Bridge calls come one at a time (the module serializes them); the pull comes from the
/// output's thread. Every call that moves or closes the reader stops the output first, so no
/// pull runs meanwhile.
class AudioPlayer final : public AudioOutputStreamDelegate {
  public:
    /// Schedules a task on the main thread 200 ms later.
    using Later = std::function<void(std::function<void()>)>;

    /// `files` outlives the player; `later` runs the delayed speed settings.
    AudioPlayer(AudioFileService& files, Later later);
    ~AudioPlayer() override;
    AudioPlayer(const AudioPlayer&) = delete;
    AudioPlayer& operator=(const AudioPlayer&) = delete;

    void setDelegate(AudioPlayerDelegate* delegate) { delegate_.store(delegate); }

    /// Opens `path` for playing; false when it is no audio file the reader can decode.
    bool open(const std::string& path);
    void close();
    void play();
    void pause();
    /// Stops, rewinds and tells the delegate, also when no file is open.
    void stop();
    /// Stops the output and moves to `seconds` of the file; never starts playing.
    void locate(double seconds);

    int status() const;
    unsigned numberOfChannels() const;
    float speed() const;
    float volume() const;
    double currentTime() const;
    double totalTime() const;
    /// Values outside 0-2 are ignored.
    void setSpeed(float speed);
    /// Values outside 0-1 are ignored.
    void setVolume(float volume);
    /// 0.0 for a channel the output does not have.
    float peakPowerForChannel(unsigned channel) const;

    /// Stops the current output (no notice) and pulls from `output` from now on; not owned.
    void setOutput(AudioOutputStream* output);
    AudioOutputStream* output() const { return output_.load(); }
    std::string device() const;
    /// Stops (with the notice), then plays on `uid` from now on.
    void setDevice(const std::string& uid);
    std::optional<std::string> file() const;

    /// The output's pull. Output's thread.
    int64_t outputStream(AudioOutputStream& stream, uint8_t* buffer, int64_t maxLength) override;

    /// The output failed for good while playing (its server or device went away): stops,
    /// then reports the error, as a read error does. Output's thread.
    void outputDidFail();

  private:
    std::string path() const;

    AudioFileService& files_;
    Later later_;
    std::atomic<AudioPlayerDelegate*> delegate_{nullptr};
    std::atomic<AudioOutputStream*> output_{nullptr};
    AudioStreamDescription inputFormat_;
    AudioStreamDescription outputFormat_;
    std::unique_ptr<AudioFileReader> extAudioFile_;
    std::atomic<uint64_t> totalFrames_{0};
    std::atomic<double> locateTime_{0.0};
    mutable std::mutex textLock_;  // the two strings below, read from the pull too
    std::optional<std::string> deviceUID_;
    std::optional<std::string> fileURL_;
};

}  // namespace lumetta::audio
