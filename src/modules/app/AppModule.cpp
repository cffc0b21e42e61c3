#include "modules/app/AppModule.h"

#include <algorithm>

#include "base/StartupTrace.h"
#include "bridge/BridgeError.h"
#include "bridge/NativeCall.h"
#include "bridge/Result.h"
#include "host/CommandUrl.h"

namespace lumetta::modules::app {

using namespace lumetta::bridge;

namespace {

constexpr const char* kPrefKey = "pref";

class AppModule final : public Module {
  public:
    explicit AppModule(ModuleContext& ctx) : native_(ctx.native), services_(ctx.services) {
        auto& f = ctx.functions;
        f.add("$$app_ready::", [this](const Arg&, const Arg&) {
            native_.setReady(true);
            base::startupMilestone("page ready");
            return resultVoid();
        });
        f.add("$$app_startevent::", [this](const Arg& on, const Arg&) {
            native_.setEvent(boolValue(on));
            return resultBool(true);
        });
        f.add("$$app_getevent::", [this](const Arg&, const Arg&) {
            auto event = native_.queue().take();
            return event ? resultString(*event) : resultVoid();
        });
        f.add("$$app_storage::", [this](const Arg& text, const Arg&) {
            if (!text) return resultString(services_.store.get(kPrefKey).value_or(""));
            save(kPrefKey, *text);
            return resultVoid();
        });
        f.add("$$app_storage2::", [this](const Arg& key, const Arg& text) {
            bool hasKey = key && !key->empty();
            if (!text) return resultString(hasKey ? services_.store.get(*key).value_or("") : "");
            if (hasKey) save(*key, *text);
            return resultVoid();
        });
        f.add("$$app_clipboard::", [this](const Arg& text, const Arg&) {
            if (!text) return resultString(native_.clipboard().value_or(""));
            native_.setClipboard(text);
            return resultVoid();
        });
        f.add("$$app_control::", [this](const Arg& command, const Arg&) {
            services_.center.post(note::nativeControl, command.value_or(""), &native_);
            return resultVoid();
        });
        f.add("$$app_locate::", [this](const Arg& url, const Arg&) {
            // Only what parses as a URL is loaded; anything else loads nothing.
            if (url && host::isUrlText(*url))
                services_.center.post(note::nativeLocate, *url, &native_);
            return resultVoid();
        });
        f.add("$$app_dragdrop::", [this](const Arg& on, const Arg&) {
            services_.center.post(note::enableDragDrop, on, &native_);
            return resultVoid();
        });
        f.add("$$app_dropfiles::", [this](const Arg&, const Arg&) {
            nlohmann::json paths = native_.dropfiles();
            return resultString(jsonStringFromObject(paths).value_or("[]"));
        });
        f.add("$$app_exit::", [this](const Arg&, const Arg&) {
            // The application outlives every page, so the scheduled task cannot dangle.
            Application* application = &services_.application;
            services_.mainThread.post([application] { application->terminate(); });
            return resultVoid();
        });
        f.add("$$app_functions::", [this](const Arg&, const Arg&) {
            // Page names: the registered operations without their two argument markers.
            std::vector<std::string> names;
            for (auto& name : native_.functions().names())
                if (name.size() > 2 && name.ends_with("::"))
                    names.push_back(name.substr(0, name.size() - 2));
            std::sort(names.begin(), names.end());
            return resultString(jsonStringFromObject(nlohmann::json(names)).value_or("[]"));
        });
        for (const char* name : {"$$app_importfile::", "$$app_importmultiplefile::",
                                 "$$app_exportfile::", "$$app_exportmultiplefile::"}) {
            f.add(name, [](const Arg&, const Arg&) { return resultVoid(); });
        }
    }

  private:
    void save(const std::string& key, const std::string& value) {
        // The page relies on its settings surviving: a failed save must not look like success.
        if (!services_.store.set(key, value)) throw BridgeError("Failed to save the setting.");
    }

    NativeCall& native_;
    Services& services_;
};

}  // namespace

ModuleDescriptor descriptor() {
    return {"app", 100, [](ModuleContext& ctx) { return std::make_unique<AppModule>(ctx); }};
}

}  // namespace lumetta::modules::app
