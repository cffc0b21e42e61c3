#pragma once

#include <glib-object.h>
#include <glib.h>

#include <memory>

namespace lumetta::files {

/// Unrefs a GObject.
struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};

/// Owns one reference to a GObject of type T.
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

/// Frees a GError.
struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

/// Frees memory from g_malloc.
struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};
using GCharPtr = std::unique_ptr<gchar, GFree>;

}  // namespace lumetta::files
