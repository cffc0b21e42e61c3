#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "audio/AudioFile.h"
#include "audio/AudioInput.h"
#include "audio/AudioRecorder.h"
#include "bridge/Liveness.h"
#include "bridge/Module.h"
#include "bridge/NativeCall.h"

namespace lumetta::modules::recorder {

/// Turns the recorder's notices into "recorder" events carrying the file's path.
class _AudioRecorderDelegate final : public ::lumetta::audio::AudioRecorderDelegate {
  public:
    /// The bridge that hears the events; not owned, set before any notice.
    bridge::NativeCall* native = nullptr;
    /// "recorder" "stop" path. Any thread.
    void audioRecorderDidFinishRecording(const std::string& path) override;
    /// "recorder" "error" path. Input's thread or main thread.
    void audioRecorderErrorDidOccur(const std::string& path) override;
};

/// What the recorder module needs from the platform; it owns all of it.
struct RecorderPlatform {
    std::unique_ptr<::lumetta::audio::AudioQueueFactory> queues;
    std::unique_ptr<::lumetta::audio::AudioFileService> files;
};

/// The `recorder` module: one recorder, the local input and the adapter; switches to the
/// device link's input stream when that module exists.
class RecorderModule final : public bridge::Module {
  public:
    RecorderModule(bridge::ModuleContext& ctx, RecorderPlatform platform);
    ~RecorderModule() override;

    /// Finds the device link's streams; main thread.
    void didCreateAll() override;

    ::lumetta::audio::AudioRecorder& recorder() { return *recorder_; }
    ::lumetta::audio::AudioInput& localInput() { return *input_; }

  private:
    std::mutex callLock_;  // bridge calls come from the main and the loopback thread
    bridge::NativeCall& native_;
    bridge::MainThread& mainThread_;
    bridge::Liveness liveness_;
    RecorderPlatform platform_;
    ::lumetta::audio::LinkAudioStreams* link_ = nullptr;
    _AudioRecorderDelegate adapter_;
    std::unique_ptr<::lumetta::audio::AudioInput> input_;
    std::unique_ptr<::lumetta::audio::AudioRecorder> recorder_;
};

/// The module with the given platform pieces (tests).
bridge::ModuleDescriptor descriptor(
    std::function<RecorderPlatform(bridge::Services&)> makePlatform);
/// The module on PulseAudio and FFmpeg.
bridge::ModuleDescriptor descriptor();

}  // namespace lumetta::modules::recorder
