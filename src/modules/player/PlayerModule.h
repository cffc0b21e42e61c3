#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "audio/AudioFile.h"
#include "audio/AudioOutput.h"
#include "audio/AudioPlayer.h"
#include "audio/MainThreadTimer.h"
#include "bridge/Liveness.h"
#include "bridge/Module.h"
#include "bridge/NativeCall.h"

namespace lumetta::modules::player {

/// Turns the player's notices into "player" events carrying the file's path.
class _AudioPlayerDelegate final : public ::lumetta::audio::AudioPlayerDelegate {
  public:
    /// The bridge that hears the events; not owned, set before any notice.
    bridge::NativeCall* native = nullptr;
    /// "player" "eof" path. Pull thread.
    void audioPlayerDidEndSong(const std::string& path) override;
    /// "player" "stop" path. Any thread.
    void audioPlayerDidFinishPlaying(const std::string& path) override;
    /// "player" "error" path. Pull thread or main thread.
    void audioPlayerErrorDidOccur(const std::string& path) override;
};

/// What the player module needs from the platform; it owns all of it.
struct PlayerPlatform {
    std::unique_ptr<::lumetta::audio::AudioQueueFactory> queues;
    std::unique_ptr<::lumetta::audio::AudioFileService> files;
    /// The user's documents folder, ending in "/".
    std::function<std::string()> documentsFolder;
};

/// The `player` module: one player, the local output and the adapter; switches to the device
/// link's output stream when that module exists.
class PlayerModule final : public bridge::Module {
  public:
    PlayerModule(bridge::ModuleContext& ctx, PlayerPlatform platform);
    ~PlayerModule() override;

    /// Finds the device link's streams; main thread.
    void didCreateAll() override;

    ::lumetta::audio::AudioPlayer& player() { return *player_; }
    ::lumetta::audio::AudioOutput& localOutput() { return *output_; }

  private:
    std::mutex callLock_;  // bridge calls come from the main and the loopback thread
    bridge::NativeCall& native_;
    bridge::MainThread& mainThread_;
    bridge::Liveness liveness_;
    PlayerPlatform platform_;
    ::lumetta::audio::LinkAudioStreams* link_ = nullptr;
    _AudioPlayerDelegate adapter_;
    std::unique_ptr<::lumetta::audio::AudioOutput> output_;
    std::unique_ptr<::lumetta::audio::AudioPlayer> player_;
    std::unique_ptr<::lumetta::audio::MainThreadTimer> timer_;  // last: its thread stops first
};

/// The module with the given platform pieces (tests).
bridge::ModuleDescriptor descriptor(std::function<PlayerPlatform(bridge::Services&)> makePlatform);
/// The module on PulseAudio and FFmpeg.
bridge::ModuleDescriptor descriptor();

}  // namespace lumetta::modules::player
