#pragma once

// Owner of one strong reference to a GObject (any GObject type: widgets, GFile, GDBusConnection,
// WebKit objects, ...).

#include <glib-object.h>

#include <memory>

namespace lumetta::raii {

/// Drops one reference; null is ignored.
struct GObjectUnref {
    void operator()(gpointer object) const {
        if (object) g_object_unref(object);
    }
};

/// Holds one strong reference to a GObject of type T and drops it exactly once. Movable, not
/// copyable.
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

/// Takes a new strong reference (sinking a floating one): for objects the caller does not own.
template <class T>
GObjectPtr<T> retain(T* object) {
    return GObjectPtr<T>(static_cast<T*>(g_object_ref_sink(object)));
}

/// Adopts a reference the caller already owns (a "transfer full" return value).
template <class T>
GObjectPtr<T> adopt(T* object) {
    return GObjectPtr<T>(object);
}

}  // namespace lumetta::raii
