#pragma once

// Named native commands sent by the page with $$app_control ("name:{json}"). Each handler runs
// on the main thread and reports its outcome as an "app" "command" event to the sending page.

#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace lumetta::bridge {
class NativeCall;
class NotificationCenter;
}  // namespace lumetta::bridge

namespace lumetta::host {

/// Opaque handle of the window whose page sent a command (a GtkWindow* in the application).
using NativeWindow = void*;

class NativeControl {
  public:
    /// Runs one command on the main thread: `args` is the parsed JSON after the first ':' (null
    /// when absent or invalid); the handler may fill `result`; returns success. A handler that
    /// works longer moves the work elsewhere and reports through `event`.
    using Handler = std::function<bool(NativeWindow window, const nlohmann::json& args,
                                       nlohmann::json& result)>;

    /// Adds a command to the process-wide table (lookup in order of addition); any thread.
    static void add(std::string name, Handler handler);
    /// Removes every command (tests).
    static void clear();

    /// Runs `command` ("name:json") for the page of `native`; a command that is in no entry of
    /// the table is ignored. Main thread.
    static void proc(bridge::NativeCall& native, const std::string& command, NativeWindow window);

    /// Posts "app" \f "command" \f name \f JSON(dict) to every page; any thread.
    static void event(const std::string& name, const nlohmann::json& dict);

  private:
    struct Entry {
        std::string name;
        Handler handler;
    };
    static std::mutex& lock();
    static std::vector<Entry>& table();
};

}  // namespace lumetta::host
