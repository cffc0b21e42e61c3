#pragma once

// Which pages may use the bridge. A page's scripts can run shell commands and write files
// through it, so only documents from origins the user chose reach it: the bundled page, the
// page given at start, origins listed on the command line or in the per-user store, and pages
// a trusted page sends the view to. Plain http: off this machine is never trusted implicitly:
// anyone on the network path can rewrite such a page.

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumetta::host {

/// A web origin: scheme, host and port. Every file: URL shares the one origin "file://".
struct Origin {
    std::string scheme;  ///< lower case, without the ":"
    std::string host;    ///< lower case; an IPv6 address keeps its brackets; empty for file:
    unsigned port = 0;   ///< as written or the scheme's default; 0 for file:

    /// "scheme://host[:port]", the default port left out, as browsers write origins.
    std::string text() const;
    bool operator==(const Origin&) const = default;
};

/// The origin of an absolute http:, https: or file: URL (a blob: URL has its inner URL's), or
/// nullopt for anything else: about:, data:, javascript:, other schemes, relative or malformed
/// text, hosts we do not read (percent-encoded or non-ASCII).
std::optional<Origin> originOf(std::string_view url);

/// Whether `host` (as in Origin::host) is this machine's loopback: localhost, 127.0.0.0/8, [::1].
bool isLoopbackHost(std::string_view host);

/// How an origin came to be trusted; decides whether plain http: off loopback is accepted.
enum class TrustSource {
    Listed,   ///< named by the user or packager: any http:, https: or file: origin
    Implied,  ///< the start page, or a page a trusted page sent the view to
};

/// The set of trusted origins of one page's view. file: is always trusted (the bundled page and
/// the user's own files). Any thread: the loopback server asks from its own thread.
class TrustPolicy {
  public:
    TrustPolicy();

    /// Trusts the origin of `url`. An implied origin must be https:, file: or http: on loopback.
    /// Returns whether the origin is trusted now; false for a refused or unreadable one.
    bool add(std::string_view url, TrustSource source);

    /// Whether a document at `url` may use the bridge.
    bool trusts(std::string_view url) const;
    /// Whether a request with this Origin header value may use the bridge. "null" passes as the
    /// file: origin: file: pages send it (sandboxed frames do too, but they get no token).
    bool trustsOriginHeader(std::string_view value) const;

    /// A script expression that is true exactly when evaluated in a top-level document of a
    /// trusted origin. It reads only `location`, which a page cannot redefine.
    std::string documentCondition() const;

    /// The trusted origins as text, oldest first.
    std::vector<std::string> origins() const;

    /// The entries of a list of origins separated by white space or commas.
    static std::vector<std::string> splitList(std::string_view text);

  private:
    bool trustsOrigin(const Origin& origin) const;

    mutable std::mutex lock_;
    std::vector<Origin> origins_;
};

}  // namespace lumetta::host
