#include "modules/zev/ZevModule.h"

#include "bridge/Result.h"
#include "bridge/Services.h"

namespace lumetta::modules::zev {

using namespace lumetta::bridge;

ModuleDescriptor descriptor() {
    return {"zev", 100, [](ModuleContext& ctx) {
                NotificationCenter* center = &ctx.services.center;
                const std::pair<const char*, Notification<Arg>> functions[] = {
                    {"$$zev_viewPositionConfig::", note::positionConfig},
                    {"$$zev_show::", note::show},
                    {"$$zev_hide::", note::hide},
                    {"$$zev_openPage::", note::openPage},
                    {"$$zev_sendMsgToZEV::", note::sendMsg},
                };
                // Plain names, not a structured binding: clang before 16 cannot capture those.
                for (const auto& entry : functions) {
                    const Notification<Arg> notification = entry.second;
                    ctx.functions.add(entry.first,
                                      [center, notification](const Arg& arg1, const Arg&) {
                                          center->post(notification, arg1);
                                          return resultVoid();
                                      });
                }
                return std::make_unique<Module>();
            }};
}

}  // namespace lumetta::modules::zev
