#pragma once

// Stand-ins for the store and the application where a test or benchmark needs neither.

#include "bridge/Services.h"

namespace lumetta::test {

/// Stores nothing and finds nothing.
class NullStore final : public bridge::KeyValueStore {
  public:
    std::optional<std::string> get(const std::string&) override { return std::nullopt; }
    bool set(const std::string&, const std::string&) override { return true; }
};

/// Ignores requests to quit.
class NullApplication final : public bridge::Application {
  public:
    void terminate() override {}
};

}  // namespace lumetta::test
