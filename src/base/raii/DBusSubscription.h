#pragma once

// Owner of a D-Bus signal subscription (g_dbus_connection_signal_subscribe).

#include <gio/gio.h>

#include <utility>

#include "base/raii/GObjectPtr.h"

namespace lumetta::raii {

/// Owns one signal subscription on a connection and unsubscribes it exactly once, when destroyed
/// or reset. Keeps its own reference to the connection, so the subscription can always be taken
/// back, whoever else drops the bus. Movable, not copyable.
class DBusSubscription {
  public:
    DBusSubscription() = default;
    /// Takes ownership of subscription `id` on `connection` (a new reference is taken to it).
    DBusSubscription(GDBusConnection* connection, guint id)
        : connection_(connection && id != 0 ? retain(connection) : nullptr),
          id_(connection ? id : 0) {}
    DBusSubscription(DBusSubscription&& other) noexcept
        : connection_(std::move(other.connection_)), id_(std::exchange(other.id_, 0)) {}
    DBusSubscription& operator=(DBusSubscription&& other) noexcept {
        if (this != &other) {
            reset();
            connection_ = std::move(other.connection_);
            id_ = std::exchange(other.id_, 0);
        }
        return *this;
    }
    DBusSubscription(const DBusSubscription&) = delete;
    DBusSubscription& operator=(const DBusSubscription&) = delete;
    ~DBusSubscription() { reset(); }

    /// The subscription id, still owned; 0 when none.
    guint get() const { return id_; }
    /// The connection subscribed on; null when none.
    GDBusConnection* connection() const { return connection_.get(); }
    explicit operator bool() const { return id_ != 0; }
    /// Forgets the subscription without unsubscribing; returns its id.
    guint release() {
        connection_.reset();
        return std::exchange(id_, 0);
    }
    /// Unsubscribes the subscription held, if any, and holds nothing.
    void reset() {
        if (id_ != 0) g_dbus_connection_signal_unsubscribe(connection_.get(), id_);
        id_ = 0;
        connection_.reset();
    }
    /// Unsubscribes the subscription held, if any, and takes `id` on `connection` instead.
    void reset(GDBusConnection* connection, guint id) { *this = DBusSubscription(connection, id); }

  private:
    GObjectPtr<GDBusConnection> connection_;
    guint id_ = 0;
};

}  // namespace lumetta::raii
