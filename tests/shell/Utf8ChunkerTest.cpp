#include <gtest/gtest.h>

#include "shell/Utf8Chunker.h"

namespace lumetta::shell {
namespace {

TEST(Utf8Chunker, CharacterSplitOverTwoChunksArrivesWholeInTheSecond) {
    Utf8Chunker decoder;
    EXPECT_EQ(decoder.feed("caf\xC3"), "caf");
    EXPECT_EQ(decoder.pending(), 1u);
    EXPECT_EQ(decoder.feed("\xA9!"), "\xC3\xA9!");
    EXPECT_EQ(decoder.finish(), "");
}

TEST(Utf8Chunker, FourByteCharacterSplitIntoSingleBytes) {
    Utf8Chunker decoder;
    std::string out;
    for (char c : std::string("\xF0\x9F\x8E\xB9")) out += decoder.feed(std::string(1, c));
    EXPECT_EQ(out, "\xF0\x9F\x8E\xB9");
}

TEST(Utf8Chunker, InvalidBytesBecomeReplacementCharacters) {
    Utf8Chunker decoder;
    EXPECT_EQ(decoder.feed("a\xFF"
                           "b"),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(decoder.feed("\xC3"
                           "x"),
              "\xEF\xBF\xBD"
              "x");
    EXPECT_EQ(decoder.feed("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
}

TEST(Utf8Chunker, ACharacterCutOffAtTheEndBecomesOneReplacement) {
    Utf8Chunker decoder;
    EXPECT_EQ(decoder.feed("ok\xE2\x82"), "ok");
    EXPECT_EQ(decoder.finish(), "\xEF\xBF\xBD");
    EXPECT_EQ(decoder.pending(), 0u);
}

}  // namespace
}  // namespace lumetta::shell
