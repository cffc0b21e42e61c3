// $$sh_exec:: called through the loopback server: the task starts on the server's thread and
// runs on the main context of the test's main thread. Built for ThreadSanitizer too.

#include <arpa/inet.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "bridge/BridgeText.h"
#include "bridge/NativeCall.h"
#include "host/XhrServer.h"
#include "modules/sh/ShModule.h"
#include "shell/ShellLoop.h"
#include "shell/ShellTask.h"
#include "support/TestServices.h"

namespace lumetta::modules::sh {
namespace {

// One call over a real socket; the answer's body, or empty when there was none.
std::string callOverXhr(const host::XhrServer& server, const std::string& function,
                        const std::string& arg1) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(server.port()));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return {};
    }
    timeval limit{20, 0};  // hang guard only
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string request =
        "GET /" + server.token() + "/call/" + function + "?" + bridge::percentEncode(arg1) +
        " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) + "\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string reply;
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
    close(fd);
    size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : reply.substr(end + 4);
}

TEST(ShOverXhr, QuickCommandsStartedFromTheServerThreadFinishAndReleaseThemselves) {
    test::TestHost host;
    bridge::NativeCall native(host.services, {descriptor()});
    host::XhrServer server([&](const bridge::Arg& m, const bridge::Arg& a1, const bridge::Arg& a2) {
        return native.dispatchHeaders(m, a1, a2);
    });
    server.start();
    ASSERT_NE(server.port(), 0u);
    const int before = shell::ShellTask::alive();

    // Commands that end at once, so the main context may finish a task while the server thread
    // is still in the call that started it.
    constexpr int kCalls = 40;
    std::mutex lock;
    std::vector<std::string> answers;
    std::atomic<bool> sent{false};
    std::thread client([&] {
        for (int i = 0; i < kCalls; ++i) {
            std::string words = i % 2 ? R"(["true"])" : R"(["echo",")" + std::to_string(i) + "\"]";
            std::string answer = callOverXhr(server, "$$sh_exec", words);
            std::lock_guard guard(lock);
            answers.push_back(answer);
        }
        sent = true;
    });

    std::map<std::string, std::string> output;
    std::set<std::string> finished;
    bool done = test::runUntil(
        [&] {
            host.mainThread.runPending();  // the tasks' reading is handed to the main thread
            while (auto e = native.queue().take()) {
                auto event = test::decodeShellEvent(*e);
                if (event.text.empty())
                    finished.insert(event.pid);
                else
                    output[event.pid] += event.text;
            }
            if (!sent) return false;
            std::lock_guard guard(lock);
            return finished.size() >= answers.size() && shell::ShellTask::alive() == before;
        },
        std::chrono::seconds(60));
    client.join();
    server.stop();
    EXPECT_TRUE(done) << finished.size() << " of " << kCalls
                      << " tasks ended; still alive: " << shell::ShellTask::alive() - before;
    ASSERT_EQ(answers.size(), static_cast<size_t>(kCalls));
    for (int i = 0; i < kCalls; ++i) {
        const std::string& answer = answers[static_cast<size_t>(i)];
        ASSERT_EQ(answer.substr(0, 1), "d") << answer;
        std::string pid = answer.substr(1);
        EXPECT_TRUE(finished.count(pid)) << "task " << pid << " never ended";
        if (i % 2 == 0) {
            EXPECT_EQ(output[pid], std::to_string(i) + "\n");
        }
    }
    EXPECT_EQ(shell::ShellTask::alive(), before) << "every task released itself";
}

}  // namespace
}  // namespace lumetta::modules::sh
