#pragma once

#include <memory>

namespace lumetta::bridge {

/// Lets work scheduled for later find out whether its owner still exists. Owner and the
/// scheduled work must run on the same thread (the main thread), so checking is enough.
class Liveness {
  public:
    using Watch = std::weak_ptr<const char>;
    /// A watch that expires when this object is destroyed.
    Watch watch() const { return token_; }

  private:
    std::shared_ptr<const char> token_ = std::make_shared<const char>('\0');
};

}  // namespace lumetta::bridge
