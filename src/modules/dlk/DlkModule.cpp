#include "modules/dlk/DlkModule.h"

#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "bridge/BridgeError.h"
#include "bridge/Result.h"
#include "link/DLKAudioStreams.h"

namespace lumetta::modules::dlk {

using namespace lumetta::bridge;
using ::lumetta::link::DLKConnection;
using ::lumetta::link::DLKDiscovery;

namespace {

std::string deviceText(const nlohmann::json& device) {
    if (device.is_null()) return "";  // connect was given no dictionary: there is no device
    if (auto text = jsonStringFromObject(device)) return *text;
    return device.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Decimal integer text: leading blanks, a sign and digits; 0 without any; saturated to 32 bits.
int32_t intArgument(const std::string& text) {
    long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    return static_cast<int32_t>(value);
}

nlohmann::json streamStatus(const ::lumetta::link::NET_AUDIO_STATUS& s) {
    return {{"status", s.status},         {"volume", s.volume}, {"peakPowerL", s.peakPowerL},
            {"peakPowerR", s.peakPowerR}, {"frame", s.frame},   {"currentTime", s.frame / 44100.0}};
}

}  // namespace

// ---- adapters ----------------------------------------------------------------------------------

void _DLKDiscoveryDelegate::discoveryDeviceDidFound(const nlohmann::json& device) {
    native->postEvent(joinEvent({"dlk", "found", deviceText(device)}));
}

void _DLKConnectionDelegate::post(const char* name, const nlohmann::json& device) {
    native->postEvent(joinEvent({"dlk", name, deviceText(device)}));
}

void _DLKConnectionDelegate::connectionFailed(const nlohmann::json& device) {
    post("connectfailed", device);
}
void _DLKConnectionDelegate::connectionDidEstablished(const nlohmann::json& device) {
    post("connected", device);
}
void _DLKConnectionDelegate::connectionDidClosed(const nlohmann::json& device) {
    post("closed", device);
}
void _DLKConnectionDelegate::connectionErrorDidOccur(const nlohmann::json& device) {
    post("error", device);
}

void _DLKConnectionDelegate::midiInputMessage(const uint8_t* bytes, int32_t size,
                                              uint32_t timeStamp, int32_t) {
    native->postEvent(
        joinEvent({"dlk", "message", hexStringFromBytes(bytes, static_cast<size_t>(size)),
                   std::to_string(timeStamp)}));
}

// ---- module ------------------------------------------------------------------------------------

DlkModule::DlkModule(ModuleContext& ctx, ::lumetta::link::DLKInterfaceLister interfaces)
    : mainThread_(ctx.services.mainThread) {
    discoveryAdapter_.native = &ctx.native;
    connectionAdapter_.native = &ctx.native;
    discovery_ = std::make_unique<DLKDiscovery>(std::move(interfaces));
    discovery_->setDelegate(&discoveryAdapter_);
    connection_ = std::make_unique<DLKConnection>();
    connection_->setDelegate(&connectionAdapter_);
    connection_->midiService().setDelegate(&connectionAdapter_);

    auto& f = ctx.functions;
    f.add("$$dlk_discovery::", [this](const Arg&, const Arg&) {
        return onMain([this] {
            discovery_->search();
            return resultVoid();
        });
    });
    f.add("$$dlk_device::", [this](const Arg&, const Arg&) {
        return onMain([this] {
            const auto& device = connection_->device();
            return resultString(device ? deviceText(*device) : "");
        });
    });
    f.add("$$dlk_connect::", [this](const Arg& device, const Arg&) {
        auto parsed = jsonObjectFromString(device.value_or(""));
        return onMain([this, parsed = parsed.value_or(nlohmann::json())] {
            connection_->connect(parsed);
            return resultVoid();
        });
    });
    f.add("$$dlk_disconnect::", [this](const Arg&, const Arg&) {
        return onMain([this] {
            connection_->disconnect();
            return resultVoid();
        });
    });
    f.add("$$dlk_send::", [this](const Arg& hex, const Arg&) {
        auto bytes = dataFromHexString(hex.value_or(""));
        return onMain([this, bytes = std::move(bytes)] {
            connection_->midiService().send(
                bytes.data(), static_cast<int32_t>(std::min<size_t>(bytes.size(), INT32_MAX)));
            return resultVoid();
        });
    });
    f.add("$$dlk_inputmode::", [this](const Arg& mode, const Arg&) {
        int32_t value = intArgument(mode.value_or(""));
        return onMain([this, value] {
            connection_->inputStream().inputMode(value);
            return resultVoid();
        });
    });
    // For the console's meters: the device's last status record as it came, read without
    // disturbing the held peaks that the player and recorder read.
    f.add("$$dlk_status::", [this](const Arg&, const Arg&) {
        return onMain([this] {
            auto& c = *connection_;
            nlohmann::json status = {
                {"connected", c.client().status() == ::lumetta::link::DLKNetClient::connected},
                {"output", streamStatus(c.audioStatus().output)},
                {"input", streamStatus(c.audioStatus().input)},
                {"outputConnected", connection_->outputStream().connected()},
                {"inputConnected", connection_->inputStream().connected()},
                {"timeStamps",
                 {c.connectStartTimeStamp(), c.outputStartTimeStamp(), c.outputStopTimeStamp(),
                  c.inputStartTimeStamp(), c.inputStopTimeStamp()}}};
            return resultString(status.dump());
        });
    });
    f.add("$$dlk_timeout::", [this](const Arg& seconds, const Arg&) {
        return onMain([this, seconds] {
            if (seconds) connection_->setConnectTimeout(intArgument(*seconds));
            return resultInt(connection_->connectTimeout());
        });
    });
    f.add("$$dlk_keepalive::", [this](const Arg& seconds, const Arg&) {
        return onMain([this, seconds] {
            if (seconds) connection_->setKeepAliveTimeout(intArgument(*seconds));
            return resultInt(connection_->keepAliveTimeout());
        });
    });
}

DlkModule::~DlkModule() {
    // The connection first: its thread is joined and its sockets closed before the adapters go.
    connection_.reset();
    discovery_.reset();
}

lumetta::audio::AudioOutputStream& DlkModule::linkOutputStream() {
    return connection_->outputStream();
}

lumetta::audio::AudioInputStream& DlkModule::linkInputStream() {
    return connection_->inputStream();
}

std::string DlkModule::onMain(std::function<std::string()> work) {
    if (mainThread_.isCurrent()) return work();
    struct Outcome {
        std::mutex lock;
        std::condition_variable done;
        std::optional<std::string> result;
        std::exception_ptr error;
    };
    auto outcome = std::make_shared<Outcome>();
    mainThread_.post([outcome, work = std::move(work), alive = liveness_.watch()] {
        std::string result;
        std::exception_ptr error;
        if (alive.expired()) {
            error = std::make_exception_ptr(BridgeError("the device link has ended"));
        } else {
            try {
                result = work();
            } catch (...) {
                error = std::current_exception();
            }
        }
        std::lock_guard guard(outcome->lock);
        outcome->result = std::move(result);
        outcome->error = error;
        outcome->done.notify_all();
    });
    std::unique_lock guard(outcome->lock);
    // A hang guard only: the main thread runs these in microseconds.
    if (!outcome->done.wait_for(guard, std::chrono::seconds(10),
                                [&] { return outcome->result.has_value(); }))
        throw BridgeError("the main thread did not answer");
    if (outcome->error) std::rethrow_exception(outcome->error);
    return *outcome->result;
}

ModuleDescriptor descriptor() {
    return {"dlk", 55, [](ModuleContext& ctx) { return std::make_unique<DlkModule>(ctx); }};
}

}  // namespace lumetta::modules::dlk
