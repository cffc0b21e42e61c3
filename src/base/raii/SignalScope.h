#pragma once

// Owner of the signal handlers an object connected to a GObject instance.

#include <glib-object.h>

namespace lumetta::raii {

/// Disconnects every handler on `instance` that names `owner` as its data when destroyed. Not
/// copyable or movable: it lives as long as the owner whose `this` the handlers hold.
class SignalScope {
  public:
    SignalScope(gpointer instance, gpointer owner) : instance_(instance), owner_(owner) {}
    ~SignalScope() {
        if (instance_) g_signal_handlers_disconnect_by_data(instance_, owner_);
    }
    SignalScope(const SignalScope&) = delete;
    SignalScope& operator=(const SignalScope&) = delete;

  private:
    gpointer instance_;
    gpointer owner_;
};

}  // namespace lumetta::raii
