#pragma once

// How a bridge module plugs into NativeCall: a descriptor names it and builds it; the module
// registers its bridge functions while it is built and owns whatever it needs.

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "bridge/BridgeText.h"

namespace lumetta::bridge {

class NativeCall;
struct Services;

/// A bridge function: two arguments, either absent, and one result string. It fails by
/// throwing BridgeError (or any std::exception). Runs on the calling channel's thread.
using BridgeFunction = std::function<std::string(const Arg& arg1, const Arg& arg2)>;

/// Bridge functions keyed by their full names ("$$fs_stat::"); read-only once built, so any
/// channel thread may look up.
class FunctionTable {
  public:
    /// Adds a function under its full name; a second function of the same name replaces it.
    void add(std::string fullName, BridgeFunction function);
    /// The function, or null when there is none of that name.
    const BridgeFunction* find(const std::string& fullName) const;
    size_t size() const { return functions_.size(); }
    /// Every registered name, unordered.
    std::vector<std::string> names() const;
    void clear() { functions_.clear(); }

  private:
    std::unordered_map<std::string, BridgeFunction> functions_;
};

/// A module's long-lived object. Destroyed by NativeCall in teardown order.
class Module {
  public:
    virtual ~Module() = default;
    /// Called on the constructing thread once every module exists.
    virtual void didCreateAll() {}
};

/// What a module is given while it is built.
struct ModuleContext {
    NativeCall& native;        ///< the owning bridge; outlives the module
    FunctionTable& functions;  ///< register bridge functions here
    Services& services;        ///< platform services; outlive the module
};

/// A module as NativeCall knows it. Modules are created in list order and destroyed by
/// ascending `teardownRank` (equal ranks: last created first).
struct ModuleDescriptor {
    std::string name;
    int teardownRank = 100;
    std::function<std::unique_ptr<Module>(ModuleContext&)> create;
};

}  // namespace lumetta::bridge
