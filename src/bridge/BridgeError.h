#pragma once

#include <stdexcept>
#include <string>

namespace lumetta::bridge {

/// The error a bridge function throws to fail its call: dispatch turns it into "e" + reason.
class BridgeError : public std::runtime_error {
  public:
    explicit BridgeError(const std::string& reason) : std::runtime_error(reason) {}
};

}  // namespace lumetta::bridge
