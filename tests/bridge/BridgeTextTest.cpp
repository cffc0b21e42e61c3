#include <gtest/gtest.h>

#include "bridge/BridgeText.h"
#include "support/TestServices.h"

using namespace lumetta::bridge;

TEST(BridgeText, SplittingKeepsEmptyFields) {
    auto f = splitFields("a\f\fc", '\f');
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[1], "");
    EXPECT_EQ(splitFields("", '\f').size(), 1u);
    EXPECT_EQ(splitFields("x\f", '\f').size(), 2u);
}

TEST(BridgeText, PercentDecoding) {
    EXPECT_EQ(percentDecode("a%20b%2Fc"), "a b/c");
    EXPECT_EQ(percentDecode("%C3%A9"), "\xC3\xA9");
    EXPECT_EQ(percentDecode("plain+text"), "plain+text");
    EXPECT_FALSE(percentDecode("%"));
    EXPECT_FALSE(percentDecode("%4"));
    EXPECT_FALSE(percentDecode("%zz"));
    EXPECT_FALSE(percentDecode("%FF")) << "not UTF-8";
    for (std::string s : {"", "a\fb\tc", "\xC3\xA9 %'\"\\", "\xE2\x80\xA8"})
        EXPECT_EQ(percentDecode(percentEncode(s)), s);
}

TEST(BridgeText, BooleanRule) {
    for (const char* yes : {"1", "true", "YES", "  t", "+01", "-7", "000123", "y"})
        EXPECT_TRUE(boolValue(std::string(yes))) << yes;
    for (const char* no : {"", "0", "false", "no", " ", "+", "00", "x1", "-0"})
        EXPECT_FALSE(boolValue(std::string(no))) << no;
    EXPECT_FALSE(boolValue(std::nullopt));
}

TEST(BridgeText, EscapedLiteralReadsBackExactly) {
    const std::string hostile[] = {
        "it's",
        "line\nfeed\rreturn",
        "back\\slash \\' \\\\'",
        "');alert(1);('",
        "\\');window.$$pwned=1;//",
        "sep\u2028arators\u2029",
        "tab\tform\ffeed \x01\x1f\x7f",
        "{\"json\":\"with \\\"escaped\\\" quotes\"}",
        "</script><script>x()</script>",
        "caf\xC3\xA9 \xF0\x9F\x8E\xB8",
    };
    for (auto& s : hostile) {
        std::string escaped = escapeScriptLiteral(s);
        EXPECT_EQ(escaped.find('\n'), std::string::npos);
        EXPECT_EQ(lumetta::test::unescapeLiteral(escaped), s) << s;
    }
    EXPECT_EQ(escapeScriptLiteral("a'b\nc"), "a\\'b\\nc");
}

TEST(BridgeText, InvalidUtf8BecomesReplacementCharacter) {
    EXPECT_EQ(escapeScriptLiteral("a\xff"
                                  "b"),
              "a\\ufffdb");
    EXPECT_EQ(escapeScriptLiteral("\xC3"), "\\ufffd");
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80")) << "surrogates are not UTF-8";
    EXPECT_FALSE(isValidUtf8("\xC0\xAF")) << "overlong";
}
