#include <gtest/gtest.h>

#include "host/CommandUrl.h"

using lumetta::host::commandEventForUrl;

TEST(CommandUrl, CommandHostWithQueryBecomesAnEvent) {
    EXPECT_EQ(commandEventForUrl("lumetta://command/open?x=1"), "app\fcommand\fopen\fx=1");
    EXPECT_EQ(commandEventForUrl("lumetta://COMMAND/a/b/select/?name=a%20b&y"),
              "app\fcommand\fselect\fname=a%20b&y")
        << "last path component; the query stays undecoded";
    EXPECT_EQ(commandEventForUrl("lumetta://command/open?"), "app\fcommand\fopen\f");
    EXPECT_EQ(commandEventForUrl("lumetta://command/open?x=1#frag"), "app\fcommand\fopen\fx=1");
}

TEST(CommandUrl, OtherUrlsAreIgnored) {
    EXPECT_FALSE(commandEventForUrl("lumetta://command/open"));
    EXPECT_FALSE(commandEventForUrl("lumetta://other/open?x=1"));
    EXPECT_FALSE(commandEventForUrl("lumetta:command/open?x=1"));
    EXPECT_FALSE(commandEventForUrl(""));
}
