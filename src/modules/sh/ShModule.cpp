#include "modules/sh/ShModule.h"

#include <cstdlib>

#include "bridge/BridgeError.h"
#include "bridge/NativeCall.h"
#include "bridge/Result.h"
#include "shell/DesktopApplications.h"
#include "shell/ShellTask.h"

namespace lumetta::modules::sh {

using bridge::Arg;

void EventRelay::post(std::string event) {
    std::lock_guard guard(lock_);
    if (native_) native_->postEvent(std::move(event));
}

void EventRelay::detach() {
    std::lock_guard guard(lock_);
    native_ = nullptr;
}

namespace {

// A process id as the page writes it: decimal digits after optional white space; anything
// else is 0. A negative number would address a whole process group, so it is 0 as well.
pid_t processId(const Arg& text) {
    if (!text) return 0;
    const char* start = text->c_str();
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(start, &end, 10);
    if (end == start || errno == ERANGE || value <= 0 || value > INT32_MAX) return 0;
    return static_cast<pid_t>(value);
}

}  // namespace

ShModule::ShModule(bridge::ModuleContext& context)
    : relay_(std::make_shared<EventRelay>(&context.native)) {
    context.functions.add("$$sh_exec::", [relay = relay_, main = &context.services.mainThread](
                                             const Arg& words, const Arg&) {
        if (!words) return bridge::resultInt(0);
        auto parsed = bridge::jsonObjectFromString(*words);
        auto line = parsed ? shell::ShellTask::commandLine(*parsed) : std::nullopt;
        if (!line) return bridge::resultInt(0);
        // The shell would run the line only up to the NUL: refused rather than cut.
        if (line->find('\0') != std::string::npos)
            throw bridge::BridgeError("The command line contains a NUL character.");
        auto launched = shell::ShellTask::launch(
            *line, [relay](std::string event) { relay->post(std::move(event)); }, main);
        if (launched.pid <= 0) throw bridge::BridgeError(launched.error);
        return bridge::resultInt(launched.pid);
    });

    context.functions.add("$$sh_kill::", [](const Arg& pid, const Arg&) {
        if (pid_t target = processId(pid); target != 0) shell::terminateApplication(target);
        return bridge::resultVoid();
    });
}

ShModule::~ShModule() {
    relay_->detach();
}

bridge::ModuleDescriptor descriptor() {
    return {"sh", 100, [](bridge::ModuleContext& context) -> std::unique_ptr<bridge::Module> {
                return std::make_unique<ShModule>(context);
            }};
}

}  // namespace lumetta::modules::sh
