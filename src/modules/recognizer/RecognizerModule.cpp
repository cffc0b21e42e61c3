#include "modules/recognizer/RecognizerModule.h"

#include "bridge/NativeCall.h"
#include "bridge/Result.h"

namespace lumetta::modules::recognizer {

using namespace lumetta::bridge;

ModuleDescriptor descriptor() {
    return {"recognizer", 100, [](ModuleContext& ctx) {
                NativeCall* native = &ctx.native;
                ctx.functions.add("$$recognizer_start::", [native](const Arg&, const Arg&) {
                    native->result(std::string("error"),
                                   std::string("Speech Recognization is not supported."));
                    return resultVoid();
                });
                ctx.functions.add("$$recognizer_stop::",
                                  [](const Arg&, const Arg&) { return resultVoid(); });
                return std::make_unique<Module>();
            }};
}

}  // namespace lumetta::modules::recognizer
