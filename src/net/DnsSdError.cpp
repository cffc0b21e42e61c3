#include "net/DnsSdError.h"

namespace lumetta::net {

int32_t dnssdErrorFromAvahi(int avahiError) {
    using namespace avahierr;
    switch (avahiError) {
        case Ok:
            return dnssd::NoError;
        case BadState:
            return dnssd::BadState;
        case InvalidHostName:
        case InvalidDomainName:
        case InvalidTtl:
        case IsPattern:
        case InvalidRecord:
        case InvalidServiceName:
        case InvalidServiceType:
        case InvalidPort:
        case InvalidKey:
        case InvalidAddress:
        case InvalidServiceSubtype:
        case InvalidArgument:
            return dnssd::BadParam;
        case InvalidFlags:
            return dnssd::BadFlags;
        case Collision:
            return dnssd::NameConflict;
        case TooManyClients:
        case TooManyObjects:
        case TooManyEntries:
        case AccessDenied:
        case NotPermitted:
        case DnsRefused:
            return dnssd::Refused;
        case InvalidOperation:
        case InvalidObject:
            return dnssd::Invalid;
        case NoMemory:
            return dnssd::NoMemory;
        case InvalidInterface:
        case InvalidProtocol:
            return dnssd::BadInterfaceIndex;
        case NotFound:
        case DnsNxdomain:
            return dnssd::NoSuchName;
        case DnsNotauth:
            return dnssd::NoAuth;
        case Timeout:
            return dnssd::Timeout;
        case NotSupported:
        case VersionMismatch:
            return dnssd::Unsupported;
        case NoDaemon:
        case Disconnected:
            return dnssd::ServiceNotRunning;
        default:
            return dnssd::Unknown;
    }
}

}  // namespace lumetta::net
