#include "ir/IrCommands.h"

#include <algorithm>

#include "audio/WavFileProc.h"
#include "host/Locations.h"
#include "ir/CIrDataConv.h"

namespace lumetta::ir {

bool convertCommand(host::NativeWindow, const nlohmann::json& args, nlohmann::json& result) {
    if (!args.is_object()) return false;
    CIrDataConv& conv = CIrDataConv::getInstance();
    auto path = args.find("path");
    if (path != args.end() && path->is_string() && !path->get<std::string>().empty()) {
        // A second conversion would overwrite the state the running one works on.
        if (conv.isRunning()) {
            result["load"] = "busy";
            return false;
        }
        conv.SetCancel(0);
        const int32_t loaded = conv.Convert(path->get<std::string>());
        if (loaded == 1) {
            auto ch = args.find("ch");
            conv.Calc(ch != args.end() && ch->is_number_integer() ? ch->get<int>() : 0);
            return true;
        }
        result["load"] = loaded == -1 ? "unsupported" : "notfound";
        return false;
    }
    auto req = args.find("req");
    if (req != args.end() && req->is_string()) {
        if (*req == "cancel") {
            conv.SetCancel(1);
            return true;
        }
        if (*req == "progress") {
            result["progress"] = std::min(conv.GetProgress(), 100);
            return true;
        }
    }
    return false;
}

bool wavstatCommand(host::NativeWindow, const nlohmann::json& args, nlohmann::json& result) {
    if (!args.is_object()) return false;
    auto path = args.find("path");
    if (path == args.end() || !path->is_string()) return false;
    nlohmann::json dict = nlohmann::json::object();
    if (!audio::WavFileProc::wavstat(path->get<std::string>(), dict)) return false;
    if (result.is_object())
        for (auto& [key, value] : dict.items()) result[key] = value;
    return true;
}

void registerIrCommands() {
    CIrDataConv& conv = CIrDataConv::getInstance();
    conv.setTemporaryDirectory([] { return host::temporaryDirectory(); });
    conv.setEventSink(
        [](const nlohmann::json& dict) { host::NativeControl::event("convert", dict); });
    host::NativeControl::add("convert", convertCommand);
    host::NativeControl::add("wavstat", wavstatCommand);
}

}  // namespace lumetta::ir
