#include <gtest/gtest.h>

#include "base/AsciiText.h"

using lumetta::base::asciiLower;

// Only A-Z fold: bytes of UTF-8 sequences and other characters pass through untouched, so a
// host or header name is compared the same way under every locale.
TEST(AsciiText, FoldsOnlyAsciiLetters) {
    EXPECT_EQ(asciiLower("COMMAND://Host:80/X-Lumetta-Token"), "command://host:80/x-lumetta-token");
    EXPECT_EQ(asciiLower("\xC4\xB0STANBUL \xC3\x89t\xC3\xA9"), "\xC4\xB0stanbul \xC3\x89t\xC3\xA9");
    EXPECT_EQ(asciiLower(std::string_view("@[`{\0Z", 6)), std::string("@[`{\0z", 6));
}
