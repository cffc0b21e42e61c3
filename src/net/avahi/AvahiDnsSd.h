#pragma once

#include <memory>

#include "net/DnsSd.h"

namespace lumetta::net {

/// The DNS-SD client on the Avahi daemon, through the Avahi client library and its GLib poll
/// adapter on the default main context: every reply arrives on the main loop. IPv4 only.
class AvahiDnsSdClient final : public DnsSdClient {
  public:
    std::unique_ptr<DnsSdConnection> createConnection(int32_t& error) override;
};

}  // namespace lumetta::net
