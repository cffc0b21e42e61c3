#include "host/CommandUrl.h"

#include <algorithm>
#include <cctype>

#include "base/AsciiText.h"
#include "bridge/BridgeText.h"

namespace lumetta::host {

std::optional<std::string> commandEventForUrl(std::string_view url) {
    size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos) return std::nullopt;
    std::string_view rest = url.substr(schemeEnd + 3);
    if (size_t hash = rest.find('#'); hash != std::string_view::npos) rest = rest.substr(0, hash);
    size_t query = rest.find('?');
    if (query == std::string_view::npos) return std::nullopt;
    std::string_view q = rest.substr(query + 1);
    std::string_view authority = rest.substr(0, query);
    std::string_view path;
    if (size_t slash = authority.find('/'); slash != std::string_view::npos) {
        path = authority.substr(slash);
        authority = authority.substr(0, slash);
    }
    if (size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority = authority.substr(at + 1);
    if (size_t colon = authority.find(':'); colon != std::string_view::npos)
        authority = authority.substr(0, colon);
    const std::string host = base::asciiLower(authority);
    if (host != "command") return std::nullopt;
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    std::string_view last =
        path.substr(path.rfind('/') == std::string_view::npos ? 0 : path.rfind('/') + 1);
    if (path.empty()) last = "";
    if (path == "/") last = "/";
    auto decoded = bridge::percentDecode(last);
    return bridge::joinEvent({"app", "command", decoded ? *decoded : std::string(last), q});
}

bool isUrlText(std::string_view text) {
    auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    auto isHex = [&](char c) {
        return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    };
    size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || !isAlpha(text[0])) return false;
    for (char c : text.substr(0, colon))
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
    // Unreserved, reserved and the percent sign of an escape (RFC 3986).
    static constexpr std::string_view kAllowed = "-._~:/?#[]@!$&'()*+,;=";
    for (size_t i = colon + 1; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) return false;
            i += 2;
        } else if (!isAlpha(c) && !isDigit(c) && kAllowed.find(c) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

}  // namespace lumetta::host
