#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "audio/AudioFile.h"
#include "audio/AudioStreams.h"

namespace lumetta::audio {

/// Hears what the recorder does; each gets the recorded file's path.
class AudioRecorderDelegate {
  public:
    virtual ~AudioRecorderDelegate() = default;
    /// The file has been finished. Thread of the stopping call, or the input's thread.
    virtual void audioRecorderDidFinishRecording(const std::string& /*path*/) {}
    /// Writing failed (the finish notice follows). Input's thread, or the stopping call's.
    virtual void audioRecorderErrorDidOccur(const std::string& /*path*/) {}
};

/// The file type and encoder bit rate of a record format code: 4 is a 16-bit WAVE file; 0, 1
/// and 2 are AAC at 256, 192 and 128 kbit/s; any other code AAC at 64 kbit/s.
AudioFileFormat recordFileFormat(int code, const AudioStreamDescription& input);

/// Records what its current input delivers into one file at a time, writing inside the
/// delivery. Bridge calls come one at a time (the module serializes them); deliveries come
/// from the input's thread. Every stop ends the input before the writer is finished.
class AudioRecorder final : public AudioInputStreamDelegate {
  public:
    /// `files` outlives the recorder.
    explicit AudioRecorder(AudioFileService& files);
    ~AudioRecorder() override;
    AudioRecorder(const AudioRecorder&) = delete;
    AudioRecorder& operator=(const AudioRecorder&) = delete;

    void setDelegate(AudioRecorderDelegate* delegate) { delegate_.store(delegate); }

    /// Creates (overwrites) the file at `path` in the format of `code`; false when it cannot,
    /// and then nothing is left there.
    bool create(const std::string& path, int code);
    /// Ends the input silently and finishes the file without a notice.
    void close();
    void record();
    void pause();
    /// Ends the input; the file is finished and the stop notice posted.
    void stop(bool atOnce);

    int status() const;
    unsigned numberOfChannels() const;
    float volume() const;
    /// 0.0 when no file is open.
    double currentTime() const;
    /// Values outside 0-1 are ignored.
    void setVolume(float volume);
    float peakPowerForChannel(unsigned channel) const;

    /// Ends the current input silently (the file stays open) and takes `input`; not owned.
    void setInput(AudioInputStream* input);
    AudioInputStream* input() const { return input_.load(); }
    std::string device() const;
    /// Stops (finishing the file, with the notice), then records from `uid` from now on.
    void setDevice(const std::string& uid);
    std::optional<std::string> file() const;

    /// Writes one delivery. Input's thread.
    void inputStream(AudioInputStream& stream, const uint8_t* buffer, int64_t length) override;
    /// Finishes the file and posts the stop notice when one was open.
    void inputStreamDidClosed(AudioInputStream& stream) override;

    /// The input failed for good (server or device gone): reports the error and finishes the
    /// file with what was captured.
    void inputDidFail();

  private:
    void finishFile();
    void didClose();

    AudioFileService& files_;
    std::atomic<AudioRecorderDelegate*> delegate_{nullptr};
    std::atomic<AudioInputStream*> input_{nullptr};
    AudioStreamDescription inputFormat_;
    // The writer and the two strings: deliveries write under it; it is never held while the
    // input is stopped, so a stop waiting for a delivery cannot deadlock.
    mutable std::mutex lock_;
    std::unique_ptr<AudioFileWriter> extAudioFile_;
    std::optional<std::string> deviceUID_;
    std::optional<std::string> fileURL_;
};

}  // namespace lumetta::audio
