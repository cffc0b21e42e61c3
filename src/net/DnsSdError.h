#pragma once

// The DNS-SD error codes the page sees, and how the Avahi client's errors map onto them.

#include <cstdint>

namespace lumetta::net {

/// DNS Service Discovery error codes (the dns_sd.h numbering); the page receives these.
namespace dnssd {
inline constexpr int32_t NoError = 0;
inline constexpr int32_t Unknown = -65537;
inline constexpr int32_t NoSuchName = -65538;
inline constexpr int32_t NoMemory = -65539;
inline constexpr int32_t BadParam = -65540;
inline constexpr int32_t BadReference = -65541;
inline constexpr int32_t BadState = -65542;
inline constexpr int32_t BadFlags = -65543;
inline constexpr int32_t Unsupported = -65544;
inline constexpr int32_t NotInitialized = -65545;
inline constexpr int32_t NameConflict = -65548;
inline constexpr int32_t Invalid = -65549;
inline constexpr int32_t BadInterfaceIndex = -65552;
inline constexpr int32_t Refused = -65553;
inline constexpr int32_t NoSuchRecord = -65554;
inline constexpr int32_t NoAuth = -65555;
inline constexpr int32_t ServiceNotRunning = -65563;
inline constexpr int32_t Timeout = -65568;
}  // namespace dnssd

/// The Avahi client error numbers this program distinguishes (avahi-common/error.h; the Avahi
/// backend checks at compile time that they agree).
namespace avahierr {
inline constexpr int Ok = 0;
inline constexpr int Failure = -1;
inline constexpr int BadState = -2;
inline constexpr int InvalidHostName = -3;
inline constexpr int InvalidDomainName = -4;
inline constexpr int NoNetwork = -5;
inline constexpr int InvalidTtl = -6;
inline constexpr int IsPattern = -7;
inline constexpr int Collision = -8;
inline constexpr int InvalidRecord = -9;
inline constexpr int InvalidServiceName = -10;
inline constexpr int InvalidServiceType = -11;
inline constexpr int InvalidPort = -12;
inline constexpr int InvalidKey = -13;
inline constexpr int InvalidAddress = -14;
inline constexpr int Timeout = -15;
inline constexpr int TooManyClients = -16;
inline constexpr int TooManyObjects = -17;
inline constexpr int TooManyEntries = -18;
inline constexpr int Os = -19;
inline constexpr int AccessDenied = -20;
inline constexpr int InvalidOperation = -21;
inline constexpr int DbusError = -22;
inline constexpr int Disconnected = -23;
inline constexpr int NoMemory = -24;
inline constexpr int InvalidObject = -25;
inline constexpr int NoDaemon = -26;
inline constexpr int InvalidInterface = -27;
inline constexpr int InvalidProtocol = -28;
inline constexpr int InvalidFlags = -29;
inline constexpr int NotFound = -30;
inline constexpr int InvalidConfig = -31;
inline constexpr int VersionMismatch = -32;
inline constexpr int InvalidServiceSubtype = -33;
inline constexpr int DnsNxdomain = -38;
inline constexpr int DnsRefused = -40;
inline constexpr int DnsNotauth = -44;
inline constexpr int NotSupported = -49;
inline constexpr int NotPermitted = -50;
inline constexpr int InvalidArgument = -51;
}  // namespace avahierr

/// The DNS-SD code for an Avahi error:
///
/// | Avahi                                                        | DNS-SD             |
/// |--------------------------------------------------------------|--------------------|
/// | OK                                                           | NoError 0          |
/// | BAD_STATE                                                    | BadState -65542    |
/// | INVALID_HOST_NAME, _DOMAIN_NAME, _TTL, IS_PATTERN,           | BadParam -65540    |
/// | INVALID_RECORD, _SERVICE_NAME, _SERVICE_TYPE, _PORT, _KEY,   |                    |
/// | _ADDRESS, _SERVICE_SUBTYPE, INVALID_ARGUMENT                 |                    |
/// | INVALID_FLAGS                                                | BadFlags -65543    |
/// | COLLISION                                                    | NameConflict -65548|
/// | TOO_MANY_CLIENTS, _OBJECTS, _ENTRIES, ACCESS_DENIED,         | Refused -65553     |
/// | NOT_PERMITTED, DNS_REFUSED                                   |                    |
/// | INVALID_OPERATION, INVALID_OBJECT                            | Invalid -65549     |
/// | NO_MEMORY                                                    | NoMemory -65539    |
/// | INVALID_INTERFACE, INVALID_PROTOCOL                          | BadInterfaceIndex -65552 |
/// | NOT_FOUND, DNS_NXDOMAIN                                      | NoSuchName -65538  |
/// | DNS_NOTAUTH                                                  | NoAuth -65555      |
/// | TIMEOUT                                                      | Timeout -65568     |
/// | NOT_SUPPORTED, VERSION_MISMATCH                              | Unsupported -65544 |
/// | NO_DAEMON, DISCONNECTED (the daemon is gone or went away)    | ServiceNotRunning -65563 |
/// | anything else (FAILURE, OS, DBUS_ERROR, NO_NETWORK, ...)     | Unknown -65537     |
int32_t dnssdErrorFromAvahi(int avahiError);

}  // namespace lumetta::net
