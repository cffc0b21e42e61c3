// The bridge's text rules on arbitrary page text: percent and hex decoding, script-literal
// escaping, field splitting and the boolean rule. Each decoder is checked against its encoder.

#include <string>

#include "FuzzInput.h"
#include "bridge/BridgeText.h"
#include "bridge/Result.h"
#include "support/TestServices.h"

using namespace lumetta::bridge;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const bool utf8 = isValidUtf8(text);

    // Percent: whatever decodes is UTF-8; UTF-8 survives encoding and decoding unchanged.
    if (auto decoded = percentDecode(text)) {
        FUZZ_CHECK(isValidUtf8(*decoded));
        FUZZ_CHECK(decoded->size() <= text.size());
        if (text.find('%') == std::string_view::npos) FUZZ_CHECK(*decoded == text);
    }
    std::string encoded = percentEncode(text);
    auto back = percentDecode(encoded);
    FUZZ_CHECK(back.has_value() == utf8);
    if (back) FUZZ_CHECK(*back == text);

    // Hex: two digits a byte either way; any text gives half its length in bytes.
    auto bytes = dataFromHexString(text);
    FUZZ_CHECK(bytes.size() == text.size() / 2);
    std::string hex = hexStringFromBytes(data, size);
    FUZZ_CHECK(hex.size() == 2 * size);
    auto again = dataFromHexString(hex);
    FUZZ_CHECK(again.size() == size && std::equal(again.begin(), again.end(), data));

    // Script literal: a script parser reads back exactly the text (U+FFFD for what is not
    // UTF-8), and nothing in it can end the literal or the line.
    std::string escaped = escapeScriptLiteral(text);
    std::string read = lumetta::test::unescapeLiteral(escaped);
    if (utf8) FUZZ_CHECK(read == text);
    FUZZ_CHECK(isValidUtf8(read));
    FUZZ_CHECK(escaped.find("\xE2\x80\xA8") == std::string::npos &&
               escaped.find("\xE2\x80\xA9") == std::string::npos);

    // Fields: joined again with the separator they were split at, they give the text back.
    auto fields = splitFields(text, '\f');
    FUZZ_CHECK(!fields.empty());
    std::string joined;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i) joined.push_back('\f');
        joined.append(fields[i]);
    }
    FUZZ_CHECK(joined == text);

    // The boolean rule ignores leading white space.
    FUZZ_CHECK(boolValue(std::string(text)) == boolValue(" \t" + std::string(text)));
    FUZZ_CHECK(!boolValue(std::nullopt));
    return 0;
}
