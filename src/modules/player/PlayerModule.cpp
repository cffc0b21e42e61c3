#include "modules/player/PlayerModule.h"

#include "bridge/Result.h"
#include "modules/audio/AudioArguments.h"

namespace lumetta::modules::player {

using namespace lumetta::bridge;
using audio::leadingInteger;
using audio::leadingNumber;
using ::lumetta::audio::AudioOutput;
using ::lumetta::audio::AudioPlayer;
using ::lumetta::audio::MainThreadTimer;

void _AudioPlayerDelegate::audioPlayerDidEndSong(const std::string& path) {
    native->postEvent(joinEvent({"player", "eof", path}));
}

void _AudioPlayerDelegate::audioPlayerDidFinishPlaying(const std::string& path) {
    native->postEvent(joinEvent({"player", "stop", path}));
}

void _AudioPlayerDelegate::audioPlayerErrorDidOccur(const std::string& path) {
    native->postEvent(joinEvent({"player", "error", path}));
}

PlayerModule::PlayerModule(ModuleContext& ctx, PlayerPlatform platform)
    : native_(ctx.native), mainThread_(ctx.services.mainThread), platform_(std::move(platform)) {
    adapter_.native = &ctx.native;
    timer_ = std::make_unique<MainThreadTimer>(mainThread_);
    output_ = std::make_unique<AudioOutput>(std::move(platform_.queues));
    player_ = std::make_unique<AudioPlayer>(
        *platform_.files, [this, watch = liveness_.watch()](std::function<void()> task) {
            timer_->after(std::chrono::milliseconds(200), [this, watch, task = std::move(task)] {
                if (watch.expired()) return;
                std::lock_guard guard(callLock_);
                task();
            });
        });
    player_->setDelegate(&adapter_);
    player_->setOutput(output_.get());
    // The server or device went away under the local output: report it as the player's error,
    // on the main thread like the bridge calls that also move the reader.
    output_->setFailureHandler([this, watch = liveness_.watch()] {
        mainThread_.post([this, watch] {
            if (watch.expired()) return;
            std::lock_guard guard(callLock_);
            if (player_->output() == output_.get()) player_->outputDidFail();
        });
    });

    auto& f = ctx.functions;
    f.add("$$player_device::", [this](const Arg& uid, const Arg&) {
        std::lock_guard guard(callLock_);
        if (uid) player_->setDevice(*uid);
        return resultString(player_->device());
    });
    f.add("$$player_open::", [this](const Arg& path, const Arg&) {
        std::lock_guard guard(callLock_);
        // Only the name counts: the page opens files of the documents folder and no other.
        std::string text = path.value_or("");
        size_t slash = text.find_last_of('/');
        std::string name = slash == std::string::npos ? text : text.substr(slash + 1);
        return resultBool(player_->open(platform_.documentsFolder() + name));
    });
    f.add("$$player_play::", [this](const Arg&, const Arg&) {
        std::lock_guard guard(callLock_);
        player_->play();
        return resultVoid();
    });
    f.add("$$player_pause::", [this](const Arg&, const Arg&) {
        std::lock_guard guard(callLock_);
        player_->pause();
        return resultVoid();
    });
    f.add("$$player_stop::", [this](const Arg&, const Arg&) {
        std::lock_guard guard(callLock_);
        player_->stop();
        return resultVoid();
    });
    f.add("$$player_file::", [this](const Arg&, const Arg&) {
        std::lock_guard guard(callLock_);
        return resultString(player_->file().value_or(""));
    });
    f.add("$$player_status::", [this](const Arg&, const Arg&) {
        std::lock_guard guard(callLock_);
        return resultInt(player_->status());
    });
    f.add("$$player_channels::", [this](const Arg&, const Arg&) {
        std::lock_guard guard(callLock_);
        return resultUInt(player_->numberOfChannels());
    });
    f.add("$$player_peakpower::", [this](const Arg& channel, const Arg&) {
        std::lock_guard guard(callLock_);
        return resultFloat(
            player_->peakPowerForChannel(static_cast<unsigned>(leadingInteger(channel))));
    });
    f.add("$$player_time::", [this](const Arg&, const Arg&) {
        std::lock_guard guard(callLock_);
        return resultFloat(static_cast<float>(player_->currentTime()));
    });
    f.add("$$player_totaltime::", [this](const Arg&, const Arg&) {
        std::lock_guard guard(callLock_);
        return resultFloat(static_cast<float>(player_->totalTime()));
    });
    f.add("$$player_locate::", [this](const Arg& seconds, const Arg&) {
        std::lock_guard guard(callLock_);
        player_->locate(static_cast<float>(leadingNumber(seconds)));
        return resultVoid();
    });
    f.add("$$player_speed::", [this](const Arg& speed, const Arg&) {
        std::lock_guard guard(callLock_);
        if (speed) player_->setSpeed(static_cast<float>(leadingNumber(speed)));
        return resultFloat(player_->speed());
    });
    f.add("$$player_volume::", [this](const Arg& volume, const Arg&) {
        std::lock_guard guard(callLock_);
        if (volume) player_->setVolume(static_cast<float>(leadingNumber(volume)));
        return resultFloat(player_->volume());
    });
    f.add("$$player_output::", [this](const Arg& useLink, const Arg&) {
        std::lock_guard guard(callLock_);
        if (!boolValue(useLink)) {
            player_->setOutput(output_.get());
            return resultVoid();
        }
        if (!link_) link_ = native_.module<::lumetta::audio::LinkAudioStreams>();
        if (!link_) return resultError("no device link");
        player_->setOutput(&link_->linkOutputStream());
        return resultVoid();
    });
}

PlayerModule::~PlayerModule() {
    timer_.reset();
    player_.reset();
    if (link_) link_->linkOutputStream().setDelegate(nullptr);
    output_.reset();
}

void PlayerModule::didCreateAll() {
    link_ = native_.module<::lumetta::audio::LinkAudioStreams>();
    // Either output can pull from the player.
    if (link_) link_->linkOutputStream().setDelegate(player_.get());
}

ModuleDescriptor descriptor(std::function<PlayerPlatform(Services&)> makePlatform) {
    return {"player", 40, [makePlatform](ModuleContext& ctx) {
                return std::make_unique<PlayerModule>(ctx, makePlatform(ctx.services));
            }};
}

}  // namespace lumetta::modules::player
