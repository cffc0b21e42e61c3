#include "modules/recorder/RecorderModule.h"

#include <climits>

#include "bridge/Result.h"
#include "modules/audio/AudioArguments.h"

namespace lumetta::modules::recorder {

using namespace lumetta::bridge;
using audio::leadingInteger;
using audio::leadingNumber;
using ::lumetta::audio::AudioInput;
using ::lumetta::audio::AudioRecorder;

void _AudioRecorderDelegate::audioRecorderDidFinishRecording(const std::string& path) {
    native->postEvent(joinEvent({"recorder", "stop", path}));
}

void _AudioRecorderDelegate::audioRecorderErrorDidOccur(const std::string& path) {
    native->postEvent(joinEvent({"recorder", "error", path}));
}

RecorderModule::RecorderModule(ModuleContext& ctx, RecorderPlatform platform)
    : native_(ctx.native), mainThread_(ctx.services.mainThread), platform_(std::move(platform)) {
    adapter_.native = &ctx.native;
    input_ = std::make_unique<AudioInput>(std::move(platform_.queues));
    recorder_ = std::make_unique<AudioRecorder>(*platform_.files);
    recorder_->setDelegate(&adapter_);
    recorder_->setInput(input_.get());
    // The server or device went away under the local input: report the error and finish the
    // file with what was captured, on the main thread like the bridge calls.
    input_->setFailureHandler([this, watch = liveness_.watch()] {
        mainThread_.post([this, watch] {
            if (watch.expired()) return;
            std::lock_guard guard(callLock_);
            if (recorder_->input() == input_.get()) recorder_->inputDidFail();
        });
    });

    auto& f = ctx.functions;
    f.add("$$recorder_device::", [this](const Arg& uid, const Arg&) {
        std::lock_guard guard(callLock_);
        if (uid) recorder_->setDevice(*uid);
        return resultString(recorder_->device());
    });
    f.add("$$recorder_create::", [this](const Arg& path, const Arg& code) {
        std::lock_guard guard(callLock_);
        if (!path || path->empty()) return resultBool(false);
        int64_t c = leadingInteger(code);
        if (c > INT_MAX || c < INT_MIN) c = -1;  // any other code: AAC at 64 kbit/s
        return resultBool(recorder_->create(*path, static_cast<int>(c)));
    });
    f.add("$$recorder_record::", [this](const Arg&, const Arg&) {
        std::lock_guard guard(callLock_);
        recorder_->record();
        return resultVoid();
    });
    f.add("$$recorder_pause::", [this](const Arg&, const Arg&) {
        std::lock_guard guard(callLock_);
        recorder_->pause();
        return resultVoid();
    });
    f.add("$$recorder_stop::", [this](const Arg& atOnce, const Arg&) {
        std::lock_guard guard(callLock_);
        recorder_->stop(boolValue(atOnce));
        return resultVoid();
    });
    f.add("$$recorder_file::", [this](const Arg&, const Arg&) {
        std::lock_guard guard(callLock_);
        return resultString(recorder_->file().value_or(""));
    });
    f.add("$$recorder_status::", [this](const Arg&, const Arg&) {
        std::lock_guard guard(callLock_);
        return resultInt(recorder_->status());
    });
    f.add("$$recorder_channels::", [this](const Arg&, const Arg&) {
        std::lock_guard guard(callLock_);
        return resultUInt(recorder_->numberOfChannels());
    });
    f.add("$$recorder_peakpower::", [this](const Arg& channel, const Arg&) {
        std::lock_guard guard(callLock_);
        return resultFloat(
            recorder_->peakPowerForChannel(static_cast<unsigned>(leadingInteger(channel))));
    });
    f.add("$$recorder_time::", [this](const Arg&, const Arg&) {
        std::lock_guard guard(callLock_);
        return resultFloat(static_cast<float>(recorder_->currentTime()));
    });
    f.add("$$recorder_volume::", [this](const Arg& volume, const Arg&) {
        std::lock_guard guard(callLock_);
        if (volume) recorder_->setVolume(static_cast<float>(leadingNumber(volume)));
        return resultFloat(recorder_->volume());
    });
    f.add("$$recorder_input::", [this](const Arg& useLink, const Arg&) {
        std::lock_guard guard(callLock_);
        if (!boolValue(useLink)) {
            recorder_->setInput(input_.get());
            return resultVoid();
        }
        if (!link_) link_ = native_.module<::lumetta::audio::LinkAudioStreams>();
        if (!link_) return resultError("no device link");
        recorder_->setInput(&link_->linkInputStream());
        return resultVoid();
    });
}

RecorderModule::~RecorderModule() {
    recorder_.reset();
    if (link_) link_->linkInputStream().setDelegate(nullptr);
    input_.reset();
}

void RecorderModule::didCreateAll() {
    link_ = native_.module<::lumetta::audio::LinkAudioStreams>();
    if (link_) link_->linkInputStream().setDelegate(recorder_.get());
}

ModuleDescriptor descriptor(std::function<RecorderPlatform(Services&)> makePlatform) {
    return {"recorder", 40, [makePlatform](ModuleContext& ctx) {
                return std::make_unique<RecorderModule>(ctx, makePlatform(ctx.services));
            }};
}

}  // namespace lumetta::modules::recorder
