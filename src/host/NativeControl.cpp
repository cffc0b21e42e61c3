#include "host/NativeControl.h"

#include <syslog.h>

#include <exception>

#include "bridge/NativeCall.h"
#include "bridge/NotificationCenter.h"
#include "bridge/Result.h"

namespace lumetta::host {

using namespace lumetta::bridge;

std::mutex& NativeControl::lock() {
    static std::mutex m;
    return m;
}

std::vector<NativeControl::Entry>& NativeControl::table() {
    static std::vector<Entry> t;
    return t;
}

void NativeControl::add(std::string name, Handler handler) {
    std::lock_guard guard(lock());
    table().push_back({std::move(name), std::move(handler)});
}

void NativeControl::clear() {
    std::lock_guard guard(lock());
    table().clear();
}

void NativeControl::proc(NativeCall& native, const std::string& command, NativeWindow window) {
    Handler handler;
    std::string name;
    {
        std::lock_guard guard(lock());
        for (auto& e : table()) {
            if (command.size() > e.name.size() && command.compare(0, e.name.size(), e.name) == 0 &&
                command[e.name.size()] == ':') {
                handler = e.handler;
                name = e.name;
                break;
            }
        }
    }
    if (!handler) return;
    auto args = jsonObjectFromString(std::string_view(command).substr(command.find(':') + 1));
    nlohmann::json result = nlohmann::json::object();
    bool ok = false;
    // Runs inside a main-loop callback: a throwing handler must not take the application down.
    // It counts as a failed command.
    try {
        ok = handler(window, args ? *args : nlohmann::json(), result);
    } catch (const std::exception& e) {
        syslog(LOG_ERR, "native command %s failed: %s", name.c_str(), e.what());
        result = nlohmann::json::object();
    } catch (...) {
        syslog(LOG_ERR, "native command %s failed", name.c_str());
        result = nlohmann::json::object();
    }
    if (!result.is_object()) result = nlohmann::json::object();
    result["result"] = ok ? 1 : 0;
    native.services().center.post(
        note::postEvent,
        joinEvent({"app", "command", name, jsonStringFromObject(result).value_or("")}), &native);
}

void NativeControl::event(const std::string& name, const nlohmann::json& dict) {
    NotificationCenter::defaultCenter().post(
        note::postEvent,
        joinEvent({"app", "command", name, jsonStringFromObject(dict).value_or("")}));
}

}  // namespace lumetta::host
