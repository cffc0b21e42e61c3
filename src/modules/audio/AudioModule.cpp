#include "modules/audio/AudioModule.h"

#include <cinttypes>
#include <cstdio>

#include "bridge/Result.h"

namespace lumetta::modules::audio {

using namespace lumetta::bridge;
using ::lumetta::audio::AudioDevice;
using ::lumetta::audio::AudioDirection;
using ::lumetta::audio::AudioFileInfo;
using ::lumetta::audio::AudioStreamDescription;
namespace la = ::lumetta::audio;

nlohmann::json formatDictionary(const std::optional<AudioFileInfo>& info) {
    if (!info)
        return {{"format", "error"}, {"channels", 0}, {"samplerate", 0},
                {"bitdepth", 0},     {"bitrate", 0},  {"duration", 0.0}};
    const AudioStreamDescription& f = info->format;
    std::string name;
    if (f.formatID == la::kAudioFormatMPEGLayer3) {
        name = "MP3";
    } else if (f.formatID == la::kAudioFormatMPEG4AAC) {
        name = "AAC";
    } else if (f.formatID == la::kAudioFormatLinearPCM) {
        name = "PCM";
    } else {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%04X", f.formatID);
        name = hex;
    }
    bool isFloat =
        f.formatID == la::kAudioFormatLinearPCM && (f.formatFlags & la::kAudioFormatFlagIsFloat);
    return {{"format", name},
            {"channels", f.channelsPerFrame},
            {"samplerate", static_cast<int64_t>(f.sampleRate)},
            {"bitdepth", isFloat ? 0u : f.bitsPerChannel},
            {"bitrate", f.reserved},
            {"duration", static_cast<float>(info->duration)}};
}

namespace {

// A number from the options object: a JSON number or numeric text, as a 32-bit integer.
int32_t optionInt(const nlohmann::json& options, const char* key) {
    auto it = options.find(key);
    if (it == options.end()) return 0;
    double v = 0;
    if (it->is_number())
        v = it->get<double>();
    else if (it->is_string())
        v = std::strtod(it->get<std::string>().c_str(), nullptr);
    if (!(v == v)) return 0;
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

std::string pathsText(const std::vector<std::string>& paths) {
    return jsonStringFromObject(nlohmann::json(paths)).value_or("[]");
}

}  // namespace

void _AudioDeviceDelegate::audioObjectAddedRemoved() {
    native->postEvent(joinEvent({"audio", "changed"}));
}

AudioModule::AudioModule(ModuleContext& ctx, AudioPlatform platform)
    : platform_(std::move(platform)) {
    adapter_.native = &ctx.native;
    converter_ = std::make_unique<la::AudioConverter>(*platform_.files, platform_.temporaryFolder);
    audio_ = std::make_unique<AudioDevice>(std::move(platform_.system));
    audio_->setDelegate(&adapter_);
    auto list = [this](AudioDirection direction) {
        return resultString(
            jsonStringFromObject(audio_->enumulateDeviceWithScope(direction)).value_or("[]"));
    };
    ctx.functions.add("$$audio_inputs::",
                      [list](const Arg&, const Arg&) { return list(AudioDirection::input); });
    ctx.functions.add("$$audio_outputs::",
                      [list](const Arg&, const Arg&) { return list(AudioDirection::output); });

    auto& native = ctx.native;
    auto finished = [&native](bool ok, const std::string& source, const std::string& detail) {
        if (ok)
            native.postEvent(joinEvent({"audio", "converted", source, detail}));
        else
            native.postEvent(joinEvent({"audio", "convertfailed", source}));
    };
    ctx.functions.add("$$audio_format::", [this](const Arg& path, const Arg&) {
        auto info = platform_.files->probe(path.value_or(""));
        return resultString(jsonStringFromObject(formatDictionary(info)).value_or("{}"));
    });
    ctx.functions.add(
        "$$audio_convert::", [this, finished](const Arg& source, const Arg& optionsText) {
            std::string src = source.value_or("");
            auto options = jsonObjectFromString(optionsText.value_or(""));
            bool ok = false;
            std::string destination;
            if (options && options->is_object()) {
                auto file = options->find("file");
                if (file != options->end() && file->is_string())
                    destination = file->get<std::string>();
                auto formatIt = options->find("format");
                std::string format = formatIt != options->end() && formatIt->is_string()
                                         ? formatIt->get<std::string>()
                                         : "";
                AudioStreamDescription target;
                target.sampleRate = optionInt(*options, "samplerate");
                target.channelsPerFrame =
                    static_cast<uint32_t>(std::max(optionInt(*options, "channels"), 0));
                if (format == "wav") {
                    target.formatID = la::kAudioFormatLinearPCM;
                    target.bitsPerChannel =
                        static_cast<uint32_t>(std::max(optionInt(*options, "bitdepth"), 0));
                } else if (format == "m4a") {
                    target.formatID = la::kAudioFormatMPEG4AAC;
                    target.reserved =
                        static_cast<uint32_t>(std::max(optionInt(*options, "bitrate"), 0));
                }
                // Channel counts and bit depths beyond what a file can hold are refused up front.
                bool sane = target.channelsPerFrame <= 64 &&
                            (target.formatID != la::kAudioFormatLinearPCM ||
                             (target.bitsPerChannel % 8 == 0 && target.bitsPerChannel <= 32));
                if (target.formatID != 0 && !destination.empty() && sane)
                    ok = converter_->convertAtURL(src, destination, target);
            }
            finished(ok, src, pathsText({destination}));
            return resultVoid();
        });
    ctx.functions.add("$$audio_split::", [this, finished](const Arg& source, const Arg& listText) {
        std::string src = source.value_or("");
        auto names = jsonObjectFromString(listText.value_or(""));
        std::vector<std::string> destinations;
        bool valid = names && names->is_array();
        if (valid)
            for (auto& item : *names) {
                if (!item.is_string())
                    valid = false;
                else
                    destinations.push_back(item.get<std::string>());
            }
        // The page names the outputs; a bounded count keeps it from opening files without end.
        bool ok = valid && destinations.size() <= 64 && converter_->splitAtURL(src, destinations);
        finished(ok, src, listText.value_or(""));
        return resultVoid();
    });
    ctx.functions.add("$$audio_reverse::",
                      [this, finished](const Arg& source, const Arg& destination) {
                          std::string src = source.value_or("");
                          std::string dst = destination.value_or("");
                          bool ok = !dst.empty() && converter_->reverseAtURL(src, dst);
                          finished(ok, src, pathsText({dst}));
                          return resultVoid();
                      });
}

AudioModule::~AudioModule() {
    audio_.reset();
    converter_.reset();
}

ModuleDescriptor descriptor(std::function<AudioPlatform(Services&)> makePlatform) {
    return {"audio", 40, [makePlatform](ModuleContext& ctx) {
                return std::make_unique<AudioModule>(ctx, makePlatform(ctx.services));
            }};
}

}  // namespace lumetta::modules::audio
