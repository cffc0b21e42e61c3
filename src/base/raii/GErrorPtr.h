#pragma once

// Owner of a GError a GLib call reported.

#include <glib.h>

#include <memory>

namespace lumetta::raii {

/// Frees with g_error_free; null is ignored.
struct GErrorFree {
    void operator()(GError* error) const {
        if (error) g_error_free(error);
    }
};

/// One GError, freed exactly once. Movable, not copyable.
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

}  // namespace lumetta::raii
