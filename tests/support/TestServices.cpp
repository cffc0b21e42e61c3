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

// Reads the single-quoted literal that starts at `start` (just after its opening quote);
// returns the position of its closing quote.
static size_t literalEnd(const std::string& script, size_t start) {
    size_t end = start;
    while (end < script.size() && script[end] != '\'') end += script[end] == '\\' ? 2 : 1;
    return end;
}

std::vector<std::string> dispatchedEvents(const std::vector<std::string>& scripts) {
    // A single event is one dispatch call; a batch is an array of literals handed to a loop
    // that dispatches each of them.
    const std::string single = "window.$event.dispatch('";
    const std::string batch = "window.$event.dispatch(q[i])";
    std::vector<std::string> events;
    for (auto& script : scripts) {
        size_t pos = 0;
        while (true) {
            size_t one = script.find(single, pos), many = script.find(batch, pos);
            if (one == std::string::npos && many == std::string::npos) break;
            if (one < many) {
                size_t start = one + single.size();
                size_t end = literalEnd(script, start);
                events.push_back(
                    unescapeLiteral(std::string_view(script).substr(start, end - start)));
                pos = end;
                continue;
            }
            size_t open = script.find("})([", many);
            if (open == std::string::npos) throw std::runtime_error("batch without its array");
            pos = open + 4;
            while (true) {
                while (pos < script.size() && (script[pos] == '\n' || script[pos] == ',')) ++pos;
                if (pos >= script.size() || script[pos] != '\'') break;
                size_t end = literalEnd(script, pos + 1);
                events.push_back(
                    unescapeLiteral(std::string_view(script).substr(pos + 1, end - pos - 1)));
                pos = end + 1;
            }
            if (script.compare(pos, 2, "])") != 0) throw std::runtime_error("malformed batch");
        }
    }
    return events;
}

}  // namespace lumetta::test
