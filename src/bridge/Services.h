#pragma once

// What the platform gives the bridge and its modules. The host fills this with the real
// services; unit tests fill it with doubles.

#include <optional>
#include <string>

#include "bridge/MainThread.h"
#include "bridge/NotificationCenter.h"

namespace lumetta::bridge {

/// The per-user key/value store of strings. Every write reaches permanent storage at once.
class KeyValueStore {
  public:
    virtual ~KeyValueStore() = default;
    /// The text stored under `key`, or nullopt; any thread.
    virtual std::optional<std::string> get(const std::string& key) = 0;
    /// Stores `value` under `key` and flushes; false when it could not be saved. Any thread.
    virtual bool set(const std::string& key, const std::string& value) = 0;
};

/// The running application as the bridge sees it.
class Application {
  public:
    virtual ~Application() = default;
    /// Ends the application; main thread.
    virtual void terminate() = 0;
};

/// Platform services shared by every bridge of the process; all outlive every NativeCall.
struct Services {
    MainThread& mainThread;
    NotificationCenter& center;
    KeyValueStore& store;
    Application& application;
};

}  // namespace lumetta::bridge
