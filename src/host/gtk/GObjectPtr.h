#pragma once

// RAII owners for GLib and GObject handles.

#include <glib-object.h>

#include <memory>

namespace lumetta::host {

struct GObjectUnref {
    void operator()(gpointer object) const {
        if (object) g_object_unref(object);
    }
};

/// Holds one strong reference to a GObject.
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

/// Takes a new strong reference (sinking a floating one).
template <class T>
GObjectPtr<T> retain(T* object) {
    return GObjectPtr<T>(static_cast<T*>(g_object_ref_sink(object)));
}

/// Adopts a reference the caller already owns (a "transfer full" return value).
template <class T>
GObjectPtr<T> adopt(T* object) {
    return GObjectPtr<T>(object);
}

struct GFreeDeleter {
    void operator()(gpointer p) const { g_free(p); }
};
/// A string GLib allocated.
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;

struct GErrorDeleter {
    void operator()(GError* e) const {
        if (e) g_error_free(e);
    }
};
using GErrorPtr = std::unique_ptr<GError, GErrorDeleter>;

/// Disconnects every handler that names `owner` as its data when destroyed.
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

}  // namespace lumetta::host
