#include "modules/netservice/NetserviceModule.h"
#include "net/avahi/AvahiDnsSd.h"

namespace lumetta::modules::netservice {

bridge::ModuleDescriptor descriptor() {
    return descriptor([] { return std::make_unique<net::AvahiDnsSdClient>(); });
}

}  // namespace lumetta::modules::netservice
