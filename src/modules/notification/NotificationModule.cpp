#include "modules/notification/NotificationModule.h"

#include "bridge/Result.h"
#include "bridge/Services.h"

namespace lumetta::modules::notification {

using namespace lumetta::bridge;

ModuleDescriptor descriptor() {
    return {"notification", 100, [](ModuleContext& ctx) {
                KeyValueStore* store = &ctx.services.store;
                ctx.functions.add("$$notification_token::", [store](const Arg&, const Arg&) {
                    return resultString(store->get("device-token").value_or(""));
                });
                ctx.functions.add("$$notification_badge::",
                                  [](const Arg&, const Arg&) { return resultVoid(); });
                return std::make_unique<Module>();
            }};
}

}  // namespace lumetta::modules::notification
