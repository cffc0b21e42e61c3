#include "modules/tgif/TgifModule.h"

#include "bridge/Result.h"

namespace lumetta::modules::tgif {

using namespace lumetta::bridge;

ModuleDescriptor descriptor() {
    return {
        "tgif", 100, [](ModuleContext& ctx) {
            ctx.functions.add("$$tgif_buffer::", [](const Arg& a1, const Arg&) {
                return a1 ? resultVoid() : resultInt(-1);
            });
            ctx.functions.add("$$tgif_param::", [](const Arg&, const Arg& a2) {
                return a2 ? resultVoid() : resultInt(0);
            });
            ctx.functions.add("$$tgif_send::", [](const Arg&, const Arg&) { return resultVoid(); });
            ctx.functions.add("$$tgif_thru::", [](const Arg&, const Arg&) { return resultVoid(); });
            return std::make_unique<Module>();
        }};
}

}  // namespace lumetta::modules::tgif
