#pragma once

// Owner of memory GLib allocated (g_malloc, g_strdup, "transfer full" strings).

#include <glib.h>

#include <memory>

namespace lumetta::raii {

/// Frees with g_free; null is ignored by g_free itself.
struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};

/// A block from g_malloc, freed exactly once. Movable, not copyable.
template <class T>
using GMemoryPtr = std::unique_ptr<T, GFree>;

/// A string GLib allocated.
using GCharPtr = GMemoryPtr<gchar>;

}  // namespace lumetta::raii
