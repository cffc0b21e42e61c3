// Bridge functions of the in-process modules called with arbitrary arguments, as a page could
// call them: JSON endpoint records, geometry, hex bytes, keys, counts and indexes. MIDI runs on the
// virtual service with its loopback, so sends come back as events. The fs and sh modules act
// on the machine's files and shell, and tcpip, http, ble and netservice on the network and the
// system bus: only their pure argument readers are fuzzed (here and in NetTextFuzz).

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "bridge/NativeCall.h"
#include "bridge/Result.h"
#include "midi/MIDIEndpointDictionary.h"
#include "midi/ServiceSelection.h"
#include "midi/virtual/VirtualMIDIService.h"
#include "modules/app/AppModule.h"
#include "modules/midi/MidiModule.h"
#include "modules/midix/MidixModule.h"
#include "modules/notification/NotificationModule.h"
#include "modules/recognizer/RecognizerModule.h"
#include "modules/security/SecurityModule.h"
#include "modules/store/StoreModule.h"
#include "modules/tgif/TgifModule.h"
#include "modules/util/UtilModule.h"
#include "modules/zev/ZevModule.h"
#include "shell/ShellTask.h"
#include "support/TestServices.h"

using namespace lumetta;

namespace {

struct Bridge {
    Bridge() {
        midi::setServiceFactory(
            [system = system](const std::string& name) { return system->openClient(name); });
        native = std::make_unique<bridge::NativeCall>(
            host.services, std::vector<bridge::ModuleDescriptor>{
                               modules::midi::descriptor(), modules::midix::descriptor(),
                               modules::tgif::descriptor(), modules::app::descriptor(),
                               modules::util::descriptor(), modules::store::descriptor(),
                               modules::notification::descriptor(),
                               modules::recognizer::descriptor(), modules::zev::descriptor()});
        native->setEvent(true);
        for (auto& name : native->functions().names()) {
            // "$$app_exit::" -> "$$app_exit"
            names.push_back(name.substr(0, name.size() - 2));
        }
        std::sort(names.begin(), names.end());
    }

    std::shared_ptr<midi::VirtualMIDISystem> system = midi::VirtualMIDISystem::create(true);
    test::TestHost host;
    std::unique_ptr<bridge::NativeCall> native;
    std::vector<std::string> names;
};

Bridge& bridgeOnce() {
    static Bridge* b = new Bridge;  // lives to the end: the modules' threads outlast inputs
    return *b;
}

void checkResult(const std::string& result) {
    FUZZ_CHECK(!result.empty());
    FUZZ_CHECK(std::string_view("vesbdf").find(result[0]) != std::string_view::npos);
}

void fuzzHelpers(std::string_view text) {
    auto value = bridge::jsonObjectFromString(text);
    if (!value) return;
    if (auto written = bridge::jsonStringFromObject(*value)) {
        auto reread = bridge::jsonObjectFromString(*written);
        FUZZ_CHECK(reread.has_value());
    }
    if (auto line = shell::ShellTask::commandLine(*value)) FUZZ_CHECK(value->is_array());
    midi::uniqueIDFromDictionary(*value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bridge& b = bridgeOnce();
    fuzz::FuzzInput input(data, size);
    const uint8_t mode = input.byte();
    if (mode & 0x80) {
        fuzzHelpers(input.rest());
        return 0;
    }
    for (int calls = 0; calls < 8 && !input.empty(); ++calls) {
        const std::string& name = b.names[input.byte() % b.names.size()];
        const uint8_t present = input.byte();
        std::string_view one = input.field('\0');
        std::string_view two = input.field('\0');
        bridge::Arg arg1 = present & 1 ? bridge::Arg(std::string(one)) : std::nullopt;
        bridge::Arg arg2 = present & 2 ? bridge::Arg(std::string(two)) : std::nullopt;
        checkResult(b.native->call(name, arg1, arg2));
        b.host.mainThread.runPending();
    }
    b.host.mainThread.runPending();
    b.host.takeScripts();
    return 0;
}
