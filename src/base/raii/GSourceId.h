#pragma once

// Owner of a GLib source id attached to the default main context.

#include <glib.h>

#include <utility>

namespace lumetta::raii {

/// Owns one attached GLib source by id and removes it when destroyed or reset. Movable, not
/// copyable. A callback that returns G_SOURCE_REMOVE must `release()` its owner first, so the
/// id is not removed twice. Used on the thread of the main context the source runs on.
class GSourceId {
  public:
    GSourceId() = default;
    /// Takes ownership of the source `id` (0 means none).
    explicit GSourceId(guint id) : id_(id) {}
    GSourceId(GSourceId&& other) noexcept : id_(std::exchange(other.id_, 0)) {}
    GSourceId& operator=(GSourceId&& other) noexcept {
        if (this != &other) reset(std::exchange(other.id_, 0));
        return *this;
    }
    GSourceId(const GSourceId&) = delete;
    GSourceId& operator=(const GSourceId&) = delete;
    ~GSourceId() { reset(); }

    /// The id, still owned; 0 when none.
    guint get() const { return id_; }
    explicit operator bool() const { return id_ != 0; }
    /// Forgets the id without removing the source.
    guint release() { return std::exchange(id_, 0); }
    /// Removes the source held, if any, and takes `id` instead.
    void reset(guint id = 0) {
        if (id_ != 0) g_source_remove(id_);
        id_ = id;
    }

  private:
    guint id_ = 0;
};

}  // namespace lumetta::raii
