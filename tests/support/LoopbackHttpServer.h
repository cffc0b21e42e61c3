#pragma once

// A tiny HTTP server on 127.0.0.1 for web view tests: it answers each GET from a handler (one
// fixed page, or whatever the test serves), or accepts connections and never answers.

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/raii/UniqueFd.h"

namespace lumetta::test {

class LoopbackHttpServer {
  public:
    enum class Mode { Serve, Silent };
    struct Response {
        std::string status = "200 OK";
        std::string type = "text/html; charset=utf-8";
        std::string body;
    };
    /// Called on the server's thread with the request target's path and query (without "?").
    using Handler = std::function<Response(const std::string& path, const std::string& query)>;

    /// Listens on an ephemeral loopback port; `html` is the page served in Serve mode.
    explicit LoopbackHttpServer(Mode mode, std::string html = {});
    /// Listens on an ephemeral loopback port and answers every request through `handler`.
    explicit LoopbackHttpServer(Handler handler);
    /// Stops the server thread and closes every connection.
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    uint16_t port() const { return port_; }
    /// "http://127.0.0.1:PORT/".
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

  private:
    LoopbackHttpServer(Mode mode, Handler handler);
    void run();
    void serve(int fd);

    Mode mode_;
    Handler handler_;
    lumetta::raii::UniqueFd listenFd_;
    lumetta::raii::UniqueFd wakeFd_;
    uint16_t port_ = 0;
    std::vector<lumetta::raii::UniqueFd> held_;  // connections left unanswered (Silent)
    std::thread thread_;                         // last: stopped first
};

/// A loopback port that nothing listens on (bound once, then closed).
uint16_t closedLoopbackPort();

}  // namespace lumetta::test
