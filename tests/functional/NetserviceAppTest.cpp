// The real application finding a service on a private network: the page receives the name of
// a service announced with quotes, backslashes, a form feed and non-ASCII text exactly. Runs
// inside the namespace of tests/net/run-in-netns.sh, on a private display.

#include <gtest/gtest.h>

#include "functional/AppProcess.h"
#include "net/AvahiDaemon.h"

using namespace lumetta::test;

TEST(NetserviceApp, TheNameOfAnAnnouncedServiceReachesThePageExactly) {
    if (!avahi::inPrivateNamespace())
        GTEST_SKIP() << "runs only inside the private namespace of tests/net/run-in-netns.sh";
    if (!avahi::daemonRunning()) {
        ASSERT_TRUE(avahi::startDaemon());
    }
    const std::string name = "It's \"Amp\" \\ 2\fcafé ✓";
    avahi::Publication publication(name, "_lumapp._tcp", 5150);
    ASSERT_TRUE(publication.running());

    AppProcess app;
    app.start({"--page=" + app.page("netservice.html").string()});
    auto search = app.waitForKey("search", std::chrono::seconds(60));
    ASSERT_TRUE(search) << app.stored("error").value_or("page reported nothing");
    EXPECT_EQ(*search, nlohmann::json({"b1", "b"}));

    auto resolved = app.waitForKey("resolved", std::chrono::seconds(90));
    ASSERT_TRUE(resolved) << app.stored("error").value_or("nothing resolved");
    std::set<std::string> addresses;
    for (auto& record : *resolved) {
        EXPECT_EQ(record["name"], name);
        EXPECT_EQ(record["port"], 5150);
        addresses.insert(record["address"].get<std::string>());
    }
    EXPECT_TRUE(addresses.count("10.99.0.1") || addresses.count("10.99.0.2"));

    publication.withdraw();
    auto lost = app.waitForKey("lost", std::chrono::seconds(90));
    ASSERT_TRUE(lost) << app.stored("error").value_or("nothing lost");
    EXPECT_EQ(*lost, nlohmann::json({name}));
    auto stopped = app.waitForKey("stopped", std::chrono::seconds(30));
    ASSERT_TRUE(stopped) << app.stored("error").value_or("no stop");
    EXPECT_EQ(*stopped, nlohmann::json({""}));
}
