#include <gtest/gtest.h>

#include "net/DnsSdError.h"

using namespace lumetta::net;

TEST(DnsSdErrorMap, EachAvahiErrorHasItsDnsSdCode) {
    const std::pair<int, int> map[] = {
        {avahierr::Ok, 0},
        {avahierr::InvalidServiceType, dnssd::BadParam},
        {avahierr::InvalidServiceName, dnssd::BadParam},
        {avahierr::InvalidDomainName, dnssd::BadParam},
        {avahierr::InvalidHostName, dnssd::BadParam},
        {avahierr::InvalidPort, dnssd::BadParam},
        {avahierr::InvalidServiceSubtype, dnssd::BadParam},
        // A gone daemon is "service not running".
        {avahierr::NoDaemon, -65563},
        {avahierr::Disconnected, -65563},
        {avahierr::AccessDenied, dnssd::Refused},
        {avahierr::TooManyClients, dnssd::Refused},
        {avahierr::Timeout, dnssd::Timeout},
        {avahierr::NotFound, dnssd::NoSuchName},
        {avahierr::Collision, dnssd::NameConflict},
        {avahierr::NoMemory, dnssd::NoMemory},
        {avahierr::InvalidFlags, dnssd::BadFlags},
        {avahierr::InvalidInterface, dnssd::BadInterfaceIndex},
        {avahierr::BadState, dnssd::BadState},
        {avahierr::Failure, dnssd::Unknown},
        {avahierr::Os, dnssd::Unknown},
        {avahierr::DbusError, dnssd::Unknown},
        {avahierr::NoNetwork, dnssd::Unknown},
        {-999, dnssd::Unknown},
    };
    for (const auto& [avahi, code] : map) EXPECT_EQ(dnssdErrorFromAvahi(avahi), code) << avahi;
}

TEST(DnsSdErrorMap, EveryFailureIsANegativeDnsSdCode) {
    for (int e = -1; e >= -53; --e) EXPECT_LT(dnssdErrorFromAvahi(e), -65536) << e;
}
