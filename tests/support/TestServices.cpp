#include "support/TestServices.h"

#include <stdexcept>

namespace lumetta::test {

static void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::string unescapeLiteral(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\'') throw std::runtime_error("unescaped quote inside a literal");
        if (s[i] == '\n' || s[i] == '\r') throw std::runtime_error("raw line break in a literal");
        if (s[i] != '\\') {
            out.push_back(s[i]);
            continue;
        }
        char c = s.at(++i);
        switch (c) {
            case 'n':
                out.push_back('\n');
                break;
            case 'r':
                out.push_back('\r');
                break;
            case 't':
                out.push_back('\t');
                break;
            case 'f':
                out.push_back('\f');
                break;
            case 'x':
                out.push_back(
                    static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16)));
                i += 2;
                break;
            case 'u':
                appendUtf8(out, static_cast<uint32_t>(
                                    std::stoul(std::string(s.substr(i + 1, 4)), nullptr, 16)));
                i += 4;
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::vector<std::string> dispatchedEvents(const std::vector<std::string>& scripts) {
    const std::string open = "window.$event.dispatch('";
    std::vector<std::string> events;
    for (auto& script : scripts) {
        size_t pos = 0;
        while ((pos = script.find(open, pos)) != std::string::npos) {
            size_t start = pos + open.size();
            size_t end = start;
            while (end < script.size() && script[end] != '\'') end += script[end] == '\\' ? 2 : 1;
            events.push_back(unescapeLiteral(std::string_view(script).substr(start, end - start)));
            pos = end;
        }
    }
    return events;
}

}  // namespace lumetta::test
