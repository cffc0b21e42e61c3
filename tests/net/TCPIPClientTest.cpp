#include <fcntl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <thread>

#include "net/LoopbackPeer.h"
#include "net/TCPIPClient.h"

namespace lumetta::net {
namespace {

using namespace std::chrono_literals;

std::vector<uint8_t> pattern(size_t size) {
    std::vector<uint8_t> out(size);
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return out;
}

// Collects what the reader hands over; tests wait on it.
class RecordingDelegate : public TCPIPClientDelegate {
  public:
    void received(const uint8_t* bytes, size_t size) override {
        std::lock_guard guard(lock_);
        chunks.emplace_back(bytes, bytes + size);
        total += size;
        changed_.notify_all();
    }
    bool closed() override {
        std::lock_guard guard(lock_);
        ++closedCount;
        changed_.notify_all();
        return true;
    }
    bool mayReceive() override { return allowed.load(); }

    bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, limit, condition);
    }
    size_t receivedBytes() const { return total.load(); }
    std::vector<uint8_t> joined() {
        std::lock_guard guard(lock_);
        std::vector<uint8_t> all;
        for (auto& c : chunks) all.insert(all.end(), c.begin(), c.end());
        return all;
    }

    std::vector<std::vector<uint8_t>> chunks;  // guarded by lock_
    int closedCount = 0;                       // guarded by lock_
    std::atomic<size_t> total{0};
    std::atomic<bool> allowed{true};
    std::mutex lock_;

  private:
    std::condition_variable changed_;
};

struct Connected {
    test::LoopbackListener listener;
    std::unique_ptr<TCPIPClient> client = std::make_unique<TCPIPClient>();
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    raii::UniqueFd peer;

    Connected() {
        if (!client->connect("127.0.0.1", listener.port())) throw std::runtime_error("no connect");
        peer = listener.accept();
        client->setDelegate(delegate);
        client->start();
    }
};

TEST(TCPIPClientTest, ABigSendArrivesWholeInChunksNoLargerThanTheBuffer) {
    Connected c;
    auto data = pattern(300000);
    std::thread writer([&] { test::writeAll(c.peer.get(), data.data(), data.size()); });
    ASSERT_TRUE(c.delegate->waitFor([&] { return c.delegate->receivedBytes() == data.size(); }));
    writer.join();
    EXPECT_EQ(c.delegate->joined(), data);
    std::lock_guard guard(c.delegate->lock_);
    for (auto& chunk : c.delegate->chunks) EXPECT_LE(chunk.size(), TCPIPClient::kBufferSize);
}

TEST(TCPIPClientTest, PeerCloseEndsTheConnectionOnce) {
    Connected c;
    uint8_t hello[] = {'h', 'i'};
    test::writeAll(c.peer.get(), hello, 2);
    c.peer.reset();
    ASSERT_TRUE(c.delegate->waitFor([&] { return c.delegate->closedCount > 0; }));
    c.client->close();  // after the end: must not report it again
    c.client.reset();
    EXPECT_EQ(c.delegate->closedCount, 1);
    EXPECT_EQ(c.delegate->joined(), std::vector<uint8_t>({'h', 'i'}));
}

TEST(TCPIPClientTest, LocalCloseWakesTheReaderAndTellsThePeer) {
    Connected c;
    c.client->close();
    ASSERT_TRUE(c.delegate->waitFor([&] { return c.delegate->closedCount == 1; }))
        << "a reader blocked in read must wake when the connection is closed here";
    EXPECT_TRUE(test::seesEnd(c.peer.get()));
}

TEST(TCPIPClientTest, TheDescriptorStaysOpenUntilTheClientIsGoneAndIsClosedThen) {
    Connected c;
    int fd = c.client->nativeSocket();
    c.client->close();
    ASSERT_TRUE(c.delegate->waitFor([&] { return c.delegate->closedCount == 1; }));
    // Still ours: another socket cannot take the number while a write may still use it.
    EXPECT_NE(fcntl(fd, F_GETFD), -1);
    c.client.reset();
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(TCPIPClientTest, DestroyingAnOpenClientJoinsItsReader) {
    Connected c;
    c.client.reset();
    EXPECT_EQ(c.delegate->closedCount, 1) << "the reader ran to its end before destruction";
    EXPECT_TRUE(test::seesEnd(c.peer.get()));
}

TEST(TCPIPClientTest, DetachEndsQuietly) {
    Connected c;
    c.client->detach();
    c.client.reset();
    EXPECT_EQ(c.delegate->closedCount, 0);
}

TEST(TCPIPClientTest, ConnectFailsForNamesRefusalsAndASecondConnect) {
    TCPIPClient client;
    EXPECT_FALSE(client.connect("localhost", 80)) << "no name lookup";
    EXPECT_FALSE(client.connect("not an address", 80));
    uint16_t closedPort;
    {
        test::LoopbackListener gone;
        closedPort = gone.port();
    }
    EXPECT_FALSE(client.connect("127.0.0.1", closedPort));
    EXPECT_EQ(client.nativeSocket(), -1);

    test::LoopbackListener listener;
    ASSERT_TRUE(client.connect("127.0.0.1", listener.port()));
    EXPECT_FALSE(client.connect("127.0.0.1", listener.port()));
}

TEST(TCPIPClientTest, SendWritesEverythingToAReadingPeer) {
    Connected c;
    auto data = pattern(8 << 20);
    std::vector<uint8_t> got;
    std::thread reader([&] { got = test::readSome(c.peer.get(), data.size()); });
    EXPECT_EQ(c.client->send(data.data(), data.size()), static_cast<ssize_t>(data.size()));
    reader.join();
    EXPECT_EQ(got, data);
}

TEST(TCPIPClientTest, SendToAPeerThatNeverReadsGivesUpInsteadOfHanging) {
    Connected c;
    auto data = pattern(64 << 20);
    ssize_t sent = c.client->send(data.data(), data.size());
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<ssize_t>(data.size()));
}

TEST(TCPIPClientTest, LocalCloseEndsAStalledSend) {
    Connected c;
    auto data = pattern(64 << 20);
    std::thread closer([&] {
        std::this_thread::sleep_for(200ms);
        c.client->close();
    });
    auto start = std::chrono::steady_clock::now();
    c.client->send(data.data(), data.size());
    closer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(TCPIPClient::kSendStallMs))
        << "the send should end with the connection, not run into its stall limit";
}

TEST(TCPIPClientTest, AHeldBackReaderLetsTcpSlowTheFloodingPeer) {
    Connected c;
    c.delegate->allowed = false;
    // Non-blocking flood: the peer's writes must run into a full window.
    fcntl(c.peer.get(), F_SETFL, O_NONBLOCK);
    auto block = pattern(1 << 16);
    size_t flooded = 0;
    for (int i = 0; i < 4096; ++i) {
        ssize_t n = ::send(c.peer.get(), block.data(), block.size(), MSG_NOSIGNAL);
        if (n <= 0) break;
        flooded += static_cast<size_t>(n);
    }
    EXPECT_LT(flooded, size_t(4096) << 16) << "the peer was never slowed down";
    EXPECT_LE(c.delegate->receivedBytes(), TCPIPClient::kBufferSize);
    c.delegate->allowed = true;
    EXPECT_TRUE(c.delegate->waitFor([&] { return c.delegate->receivedBytes() == flooded; }));
}

}  // namespace
}  // namespace lumetta::net
