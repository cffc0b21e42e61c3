#include "shell/Utf8Chunker.h"

#include <cstdint>

namespace lumetta::shell {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the sequence a lead byte starts, and the allowed range of its second byte
// (RFC 3629: no overlong forms, no surrogates, nothing past U+10FFFF); 0 when it starts none.
struct Lead {
    int length;
    uint8_t low, high;
};

Lead lead(uint8_t b) {
    if (b < 0x80) return {1, 0, 0};
    if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
    if (b == 0xE0) return {3, 0xA0, 0xBF};
    if (b == 0xED) return {3, 0x80, 0x9F};
    if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
    if (b == 0xF0) return {4, 0x90, 0xBF};
    if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
    if (b == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

}  // namespace

std::string Utf8Chunker::feed(std::string_view bytes) {
    std::string data = std::move(carry_);
    carry_.clear();
    data.append(bytes);
    std::string out;
    out.reserve(data.size());
    size_t i = 0;
    while (i < data.size()) {
        auto b = static_cast<uint8_t>(data[i]);
        Lead l = lead(b);
        if (l.length == 1) {
            out.push_back(data[i++]);
            continue;
        }
        if (l.length == 0) {
            out.append(kReplacement);
            ++i;
            continue;
        }
        // Check the continuation bytes that are here; a valid start that runs past the end
        // of the data waits for the next chunk.
        size_t have = 1;
        bool valid = true;
        while (have < static_cast<size_t>(l.length) && i + have < data.size()) {
            auto c = static_cast<uint8_t>(data[i + have]);
            bool ok = have == 1 ? (c >= l.low && c <= l.high) : (c >= 0x80 && c <= 0xBF);
            if (!ok) {
                valid = false;
                break;
            }
            ++have;
        }
        if (!valid) {
            out.append(kReplacement);
            i += have;
            continue;
        }
        if (have < static_cast<size_t>(l.length)) {
            carry_.assign(data, i, std::string::npos);
            break;
        }
        out.append(data, i, have);
        i += have;
    }
    return out;
}

std::string Utf8Chunker::finish() {
    if (carry_.empty()) return {};
    carry_.clear();
    return std::string(kReplacement);
}

}  // namespace lumetta::shell
