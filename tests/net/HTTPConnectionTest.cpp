#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "net/HTTPConnection.h"
#include "support/TestServices.h"

namespace lumetta::net {
namespace {

struct FakeTransfer : HTTPTransfer {
    std::string started;
    bool canceled = false;
    uint32_t uid = 0;
    std::string url;
    std::string file;
    void download() override { started = "download"; }
    void upload() override { started = "upload"; }
    void cancel() override { canceled = true; }
};

struct FakeFactory : HTTPTransferFactory {
    std::vector<std::shared_ptr<FakeTransfer>>* made;
    explicit FakeFactory(std::vector<std::shared_ptr<FakeTransfer>>* list) : made(list) {}
    std::optional<std::string> parseURL(const std::string& text) override {
        if (text.find("://") == std::string::npos) return std::nullopt;
        return text;
    }
    std::shared_ptr<HTTPTransfer> makeTransfer(HTTPConnection&, uint32_t uid,
                                               const std::string& url,
                                               const std::string& file) override {
        auto t = std::make_shared<FakeTransfer>();
        t->uid = uid;
        t->url = url;
        t->file = file;
        made->push_back(t);
        return t;
    }
};

struct RecordingDelegate : HTTPConnectionDelegate {
    std::vector<std::string> events;
    void connectionDidLoadData(uint32_t uid, int64_t expected, int64_t amount) override {
        events.push_back("progress " + std::to_string(uid) + " " + std::to_string(expected) + " " +
                         std::to_string(amount));
    }
    void connectionDidFinishLoading(uint32_t uid, const std::string& file) override {
        events.push_back("completed " + std::to_string(uid) + " " + file);
    }
    void connectionErrorDidOccur(uint32_t uid, const std::string& url) override {
        events.push_back("error " + std::to_string(uid) + " " + url);
    }
};

class HTTPConnectionTest : public ::testing::Test {
  protected:
    HTTPConnectionTest() { http.setDelegate(&delegate); }
    test::ManualMainThread mainThread;
    std::vector<std::shared_ptr<FakeTransfer>> made;
    RecordingDelegate delegate;
    HTTPConnection http{mainThread, std::make_unique<FakeFactory>(&made), "/tmp/private/"};
};

TEST_F(HTTPConnectionTest, NumbersStartAtZeroAndAreSharedByDownloadsAndUploads) {
    EXPECT_EQ(http.download("http://a/1", "/x/1"), 0u);
    EXPECT_EQ(http.upload("http://a/2", "/x/2"), 1u);
    EXPECT_EQ(http.download("http://a/3", "/x/3"), 2u);
    ASSERT_EQ(made.size(), 3u);
    EXPECT_EQ(made[0]->started, "download");
    EXPECT_EQ(made[1]->started, "upload");
    EXPECT_EQ(made[1]->file, "/x/2");
    EXPECT_EQ(http.count(), 3u);
}

TEST_F(HTTPConnectionTest, InvalidOrMissingUrlsStartNothingAndUseNoNumber) {
    EXPECT_EQ(http.download(std::nullopt, "/x"), kNoTransfer);
    EXPECT_EQ(http.download("not a url", "/x"), kNoTransfer);
    EXPECT_EQ(http.upload(std::nullopt, "/x"), kNoTransfer);
    EXPECT_TRUE(made.empty());
    EXPECT_EQ(http.download("http://a/", "/x"), 0u);
}

TEST_F(HTTPConnectionTest, TemporaryNamesAreProcessAndNumberInLowerHex) {
    EXPECT_EQ(HTTPConnection::temporaryFileName(0x1f2a, 11), "lmtt_1f2a_b.tmp");
    EXPECT_EQ(HTTPConnection::temporaryFileName(0x2a, 0), "lmtt_2a_0.tmp");
}

TEST_F(HTTPConnectionTest, ADownloadWithoutDestinationGoesToThePrivateTemporaryDirectory) {
    http.download("http://a/", std::nullopt);
    http.download("http://a/", "");
    ASSERT_EQ(made.size(), 2u);
    EXPECT_EQ(made[0]->file, "/tmp/private/" + HTTPConnection::temporaryFileName(getpid(), 0));
    EXPECT_EQ(made[1]->file, "/tmp/private/" + HTTPConnection::temporaryFileName(getpid(), 1));
}

TEST_F(HTTPConnectionTest, CancelStopsTheTransferAndForgetsIt) {
    http.download("http://a/", "/x");
    http.cancel(0);
    EXPECT_TRUE(made[0]->canceled);
    EXPECT_EQ(http.count(), 0u);
    http.cancel(0);
    http.cancel(77);
    EXPECT_TRUE(delegate.events.empty());
}

TEST_F(HTTPConnectionTest, CompletionAndErrorReportOnceAndLeaveTheTable) {
    http.download("http://a/", "/x");
    http.upload("http://b/", "/y");
    http.didLoadData(0, -1, 10);
    EXPECT_EQ(http.count(), 2u) << "progress keeps the transfer";
    http.didFinishLoading(0, "/x");
    http.errorDidOccur(1, "http://b/");
    EXPECT_EQ(http.count(), 0u);
    EXPECT_EQ(delegate.events, (std::vector<std::string>{"progress 0 -1 10", "completed 0 /x",
                                                         "error 1 http://b/"}));
}

TEST_F(HTTPConnectionTest, TheAllOnesNumberIsNeverHandedOut) {
    http.setNextNumber(0xFFFFFFFEu);
    EXPECT_EQ(http.download("http://a/", "/x"), 0xFFFFFFFEu);
    EXPECT_EQ(http.download("http://a/", "/x"), 0u);
}

TEST_F(HTTPConnectionTest, CallsFromAnotherThreadStartOnTheMainThread) {
    uint32_t uid = kNoTransfer;
    std::thread([&] { uid = http.download("http://a/", "/x"); }).join();
    EXPECT_EQ(uid, 0u);
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0]->started, "");
    mainThread.runPending();
    EXPECT_EQ(made[0]->started, "download");
}

TEST_F(HTTPConnectionTest, ATransferCancelledBeforeItsStartNeverStarts) {
    std::thread([&] { http.download("http://a/", "/x"); }).join();
    http.cancel(0);
    mainThread.runPending();
    EXPECT_EQ(made[0]->started, "");
}

TEST_F(HTTPConnectionTest, DestructionCancelsLiveTransfersSilently) {
    std::vector<std::shared_ptr<FakeTransfer>> list;
    RecordingDelegate quiet;
    {
        HTTPConnection local{mainThread, std::make_unique<FakeFactory>(&list), ""};
        local.setDelegate(&quiet);
        local.download("http://a/", "/x");
    }
    ASSERT_EQ(list.size(), 1u);
    EXPECT_TRUE(list[0]->canceled);
    EXPECT_TRUE(quiet.events.empty());
}

}  // namespace
}  // namespace lumetta::net
