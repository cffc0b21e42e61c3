#include "modules/store/StoreModule.h"

#include "bridge/NativeCall.h"
#include "bridge/Result.h"

namespace lumetta::modules::store {

using namespace lumetta::bridge;

ModuleDescriptor descriptor() {
    return {"store", 100, [](ModuleContext& ctx) {
                auto& f = ctx.functions;
                auto none = [](const Arg&, const Arg&) { return resultVoid(); };
                f.add("$$store_query::", none);
                f.add("$$store_launchflow::", none);
                f.add("$$store_accept::", none);
                f.add("$$store_purchased::",
                      [](const Arg&, const Arg&) { return resultString("[]"); });
                NativeCall* native = &ctx.native;
                f.add("$$store_restore::", [native](const Arg&, const Arg&) {
                    native->postEvent(joinEvent({"store", "restorefailed"}));
                    return resultVoid();
                });
                return std::make_unique<Module>();
            }};
}

}  // namespace lumetta::modules::store
