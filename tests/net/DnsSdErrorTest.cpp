#include <gtest/gtest.h>

#include "net/DnsSdError.h"

using namespace lumetta::net;

TEST(DnsSdErrorMap, OkIsNoError) {
    EXPECT_EQ(dnssdErrorFromAvahi(avahierr::Ok), 0);
}

TEST(DnsSdErrorMap, MalformedNamesAndTypesAreBadParam) {
    for (int e :
         {avahierr::InvalidServiceType, avahierr::InvalidServiceName, avahierr::InvalidDomainName,
          avahierr::InvalidHostName, avahierr::InvalidPort, avahierr::InvalidServiceSubtype})
        EXPECT_EQ(dnssdErrorFromAvahi(e), dnssd::BadParam) << e;
}

TEST(DnsSdErrorMap, AGoneDaemonIsServiceNotRunning) {
    EXPECT_EQ(dnssdErrorFromAvahi(avahierr::NoDaemon), -65563);
    EXPECT_EQ(dnssdErrorFromAvahi(avahierr::Disconnected), -65563);
}

TEST(DnsSdErrorMap, RefusalsTimeoutsAndLookupsHaveTheirOwnCodes) {
    EXPECT_EQ(dnssdErrorFromAvahi(avahierr::AccessDenied), dnssd::Refused);
    EXPECT_EQ(dnssdErrorFromAvahi(avahierr::TooManyClients), dnssd::Refused);
    EXPECT_EQ(dnssdErrorFromAvahi(avahierr::Timeout), dnssd::Timeout);
    EXPECT_EQ(dnssdErrorFromAvahi(avahierr::NotFound), dnssd::NoSuchName);
    EXPECT_EQ(dnssdErrorFromAvahi(avahierr::Collision), dnssd::NameConflict);
    EXPECT_EQ(dnssdErrorFromAvahi(avahierr::NoMemory), dnssd::NoMemory);
    EXPECT_EQ(dnssdErrorFromAvahi(avahierr::InvalidFlags), dnssd::BadFlags);
    EXPECT_EQ(dnssdErrorFromAvahi(avahierr::InvalidInterface), dnssd::BadInterfaceIndex);
    EXPECT_EQ(dnssdErrorFromAvahi(avahierr::BadState), dnssd::BadState);
}

TEST(DnsSdErrorMap, EveryOtherFailureIsANegativeUnknown) {
    for (int e : {avahierr::Failure, avahierr::Os, avahierr::DbusError, avahierr::NoNetwork, -999})
        EXPECT_EQ(dnssdErrorFromAvahi(e), dnssd::Unknown) << e;
    for (int e = -1; e >= -53; --e) EXPECT_LT(dnssdErrorFromAvahi(e), -65536) << e;
}
