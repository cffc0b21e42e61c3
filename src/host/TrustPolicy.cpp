#include "host/TrustPolicy.h"

#include <algorithm>
#include <cctype>

#include "base/AsciiText.h"

namespace lumetta::host {

namespace {

using base::asciiLower;

bool isSchemeChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

unsigned defaultPort(std::string_view scheme) {
    return scheme == "https" ? 443 : 80;
}

// A host name or IPv4 address as WebKit writes it: ASCII letters, digits, dots, hyphens,
// underscores. Anything else (percent signs, non-ASCII) we would have to normalise first.
bool isPlainHost(std::string_view host) {
    return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
    });
}

bool isBracketedIpv6(std::string_view host) {
    if (host.size() < 4 || host.front() != '[' || host.back() != ']') return false;
    return std::all_of(host.begin() + 1, host.end() - 1, [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
    });
}

std::optional<unsigned> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    unsigned port = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        port = port * 10 + static_cast<unsigned>(c - '0');
    }
    if (port == 0 || port > 65535) return std::nullopt;
    return port;
}

}  // namespace

std::string Origin::text() const {
    if (scheme == "file") return "file://";
    std::string out = scheme + "://" + host;
    if (port != defaultPort(scheme)) out += ":" + std::to_string(port);
    return out;
}

std::optional<Origin> originOf(std::string_view url) {
    size_t colon = url.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    std::string_view schemeText = url.substr(0, colon);
    if (!std::isalpha(static_cast<unsigned char>(schemeText.front())) ||
        !std::all_of(schemeText.begin(), schemeText.end(), isSchemeChar))
        return std::nullopt;
    std::string scheme = asciiLower(schemeText);
    std::string_view rest = url.substr(colon + 1);
    if (scheme == "blob") {
        if (rest.size() >= 5 && asciiLower(rest.substr(0, 5)) == "blob:") return std::nullopt;
        return originOf(rest);
    }
    if (scheme == "file") return Origin{"file", "", 0};
    if (scheme != "http" && scheme != "https") return std::nullopt;
    if (rest.substr(0, 2) != "//") return std::nullopt;
    rest.remove_prefix(2);
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#\\"));
    // User information is not part of the origin; the host follows the last "@".
    if (size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    std::string_view host = authority;
    std::string_view portText;
    bool hasPort = false;
    if (!authority.empty() && authority.front() == '[') {
        size_t close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = authority.substr(0, close + 1);
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return std::nullopt;
            portText = after.substr(1);
            hasPort = true;
        }
        if (!isBracketedIpv6(host)) return std::nullopt;
    } else {
        if (size_t c = authority.find(':'); c != std::string_view::npos) {
            host = authority.substr(0, c);
            portText = authority.substr(c + 1);
            hasPort = true;
        }
        if (!isPlainHost(host)) return std::nullopt;
    }
    unsigned port = defaultPort(scheme);
    if (hasPort && !portText.empty()) {
        auto parsed = parsePort(portText);
        if (!parsed) return std::nullopt;
        port = *parsed;
    }
    return Origin{scheme, asciiLower(host), port};
}

bool isLoopbackHost(std::string_view host) {
    if (host == "localhost" || host == "[::1]") return true;
    // 127.0.0.0/8 in the dotted form WebKit writes: four decimal parts, the first 127.
    if (host.substr(0, 4) != "127.") return false;
    int parts = 0;
    std::string_view rest = host;
    while (true) {
        size_t dot = rest.find('.');
        std::string_view part = rest.substr(0, dot);
        if (part.empty() || part.size() > 3 ||
            !std::all_of(part.begin(), part.end(),
                         [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }) ||
            std::stoi(std::string(part)) > 255)
            return false;
        ++parts;
        if (dot == std::string_view::npos) break;
        rest.remove_prefix(dot + 1);
    }
    return parts == 4;
}

TrustPolicy::TrustPolicy() {
    origins_.push_back(Origin{"file", "", 0});
}

bool TrustPolicy::add(std::string_view url, TrustSource source) {
    auto origin = originOf(url);
    if (!origin) return false;
    if (source == TrustSource::Implied && origin->scheme == "http" && !isLoopbackHost(origin->host))
        return trustsOrigin(*origin);
    std::lock_guard guard(lock_);
    if (std::find(origins_.begin(), origins_.end(), *origin) == origins_.end())
        origins_.push_back(std::move(*origin));
    return true;
}

bool TrustPolicy::trustsOrigin(const Origin& origin) const {
    std::lock_guard guard(lock_);
    return std::find(origins_.begin(), origins_.end(), origin) != origins_.end();
}

bool TrustPolicy::trusts(std::string_view url) const {
    auto origin = originOf(url);
    return origin && trustsOrigin(*origin);
}

bool TrustPolicy::trustsOriginHeader(std::string_view value) const {
    if (value == "null") return trustsOrigin(Origin{"file", "", 0});
    // An origin header is exactly "scheme://host[:port]": no path, no user information.
    size_t authority = value.find("://");
    if (authority == std::string_view::npos ||
        value.find_first_of("/?#@\\", authority + 3) != std::string_view::npos)
        return false;
    return trusts(value);
}

std::string TrustPolicy::documentCondition() const {
    // Origin texts hold no quotes or backslashes (originOf admits none), so they sit safely in
    // the literals; plain comparisons, since the page may have replaced Array methods.
    std::string condition = "(function (o) { return false";
    for (auto& origin : origins()) condition += " || o === '" + origin + "'";
    condition += "; })(location.protocol === 'file:' ? 'file://' : location.origin)";
    return condition;
}

std::vector<std::string> TrustPolicy::origins() const {
    std::lock_guard guard(lock_);
    std::vector<std::string> out;
    for (auto& o : origins_) out.push_back(o.text());
    return out;
}

std::vector<std::string> TrustPolicy::splitList(std::string_view text) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() &&
               (std::isspace(static_cast<unsigned char>(text[i])) || text[i] == ','))
            ++i;
        size_t start = i;
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])) &&
               text[i] != ',')
            ++i;
        if (i > start) out.emplace_back(text.substr(start, i - start));
    }
    return out;
}

}  // namespace lumetta::host
