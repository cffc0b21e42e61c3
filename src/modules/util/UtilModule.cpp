#include "modules/util/UtilModule.h"

#include "bridge/Result.h"

namespace lumetta::modules::util {

using namespace lumetta::bridge;

ModuleDescriptor descriptor() {
    return {"util", 100, [](ModuleContext& ctx) {
                ctx.functions.add("$$util_bytes::", [](const Arg& text, const Arg&) {
                    const std::string& s = text ? *text : std::string();
                    return resultString(
                        hexStringFromBytes(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
                });
                ctx.functions.add("$$util_text::", [](const Arg& hex, const Arg&) {
                    auto bytes = dataFromHexString(hex.value_or(""));
                    std::string text(bytes.begin(), bytes.end());
                    return resultString(isValidUtf8(text) ? text : "");
                });
                return std::make_unique<Module>();
            }};
}

}  // namespace lumetta::modules::util
