#include "bridge/BridgeText.h"

#include <cctype>
#include <cstdint>

namespace lumetta::bridge {

std::vector<std::string_view> splitFields(std::string_view text, char sep) {
    std::vector<std::string_view> fields;
    size_t start = 0;
    while (true) {
        size_t end = text.find(sep, start);
        if (end == std::string_view::npos) {
            fields.push_back(text.substr(start));
            return fields;
        }
        fields.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

static int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '%') {
            out.push_back(c);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        int hi = hexDigit(text[i + 1]);
        int lo = hexDigit(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    if (!isValidUtf8(out)) return std::nullopt;
    return out;
}

std::string percentEncode(std::string_view text) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 15]);
        }
    }
    return out;
}

// Length of the well-formed UTF-8 sequence at s[i], or 0 when it is malformed.
static size_t utf8SequenceLength(std::string_view s, size_t i) {
    auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
    uint8_t b0 = byte(i);
    if (b0 < 0x80) return 1;
    size_t len;
    uint32_t min;
    uint32_t cp;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2, min = 0x80, cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, min = 0x800, cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, min = 0x10000, cp = b0 & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        uint8_t b = byte(i + k);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

bool isValidUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        size_t n = utf8SequenceLength(text, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string escapeScriptLiteral(std::string_view text) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + text.size() / 8 + 8);
    for (size_t i = 0; i < text.size();) {
        size_t n = utf8SequenceLength(text, i);
        if (n == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (n == 1) {
            char c = text[i];
            switch (c) {
                case '\'':
                    out += "\\'";
                    break;
                case '"':
                    out += "\\\"";
                    break;
                case '\\':
                    out += "\\\\";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                case '\f':
                    out += "\\f";
                    break;
                default:
                    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                        out += "\\x";
                        out.push_back(digits[(c >> 4) & 15]);
                        out.push_back(digits[c & 15]);
                    } else {
                        out.push_back(c);
                    }
            }
        } else if (n == 3 && static_cast<uint8_t>(text[i]) == 0xE2 &&
                   static_cast<uint8_t>(text[i + 1]) == 0x80 &&
                   (static_cast<uint8_t>(text[i + 2]) == 0xA8 ||
                    static_cast<uint8_t>(text[i + 2]) == 0xA9)) {
            // U+2028 and U+2029 end a line inside a script literal.
            out += static_cast<uint8_t>(text[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
        } else {
            out.append(text.substr(i, n));
        }
        i += n;
    }
    return out;
}

bool boolValue(const Arg& text) {
    if (!text) return false;
    const std::string& s = *text;
    size_t i = 0;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    if (i == s.size()) return false;
    char c = s[i];
    if (c == 'Y' || c == 'y' || c == 'T' || c == 't') return true;
    if (c == '+' || c == '-') ++i;
    while (i < s.size() && s[i] == '0') ++i;
    return i < s.size() && s[i] >= '1' && s[i] <= '9';
}

std::string joinEvent(std::initializer_list<std::string_view> fields) {
    std::string out;
    bool first = true;
    for (auto f : fields) {
        if (!first) out.push_back('\f');
        out.append(f);
        first = false;
    }
    return out;
}

}  // namespace lumetta::bridge
