#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "base/raii/UniqueFd.h"
#include "bridge/BridgeText.h"

namespace lumetta::host {

/// One parsed call request of the loopback server.
struct XhrRequest {
    int status = 0;      ///< 0: a call; otherwise the refusal's HTTP status (the call is not run)
    bridge::Arg method;  ///< function name, the last path component
    bridge::Arg arg1;    ///< still percent-encoded
    bridge::Arg arg2;    ///< still percent-encoded
    bridge::Arg origin;  ///< the Origin field, when the browser sent one
};

/// Reads a complete request header. nullopt for bytes that are not an HTTP request (the
/// connection is then closed without an answer). A request runs a call only when its method
/// is GET or POST, its path starts with "/" + token + "/", and its Host names 127.0.0.1 or
/// localhost with `port`; otherwise it is refused with 403.
std::optional<XhrRequest> parseXhrRequest(std::string_view header, std::string_view token,
                                          unsigned port);

/// What the server does with the bytes received so far on one connection.
struct XhrStep {
    enum Kind {
        Wait,    ///< the header is not complete yet: read more
        Close,   ///< close without an answer: not HTTP, or a header over `maxHeader`
        Refuse,  ///< answer `request.status` and run nothing
        Call,    ///< run the call in `request`
    };
    Kind kind = Wait;
    XhrRequest request;
};

/// The server's decision on the bytes `received` so far: pure, so it can be checked on any
/// input without a socket.
XhrStep xhrStep(std::string_view received, std::string_view token, unsigned port, size_t maxHeader);

/// The serialised answer to a call: status 200, plain text, open to any origin, then closed.
std::string xhrResponse(std::string_view body);
/// The serialised refusal: `status` with an empty body.
std::string xhrRefusal(int status);

/// The loopback HTTP call server of one page: its own thread, 127.0.0.1 only, up to
/// kMaxConnections connections waiting for their header, one call at a time, a fresh secret
/// token at every start. Calls run on the server thread.
class XhrServer {
  public:
    /// Runs one call on the server thread: function name and the two still-encoded arguments.
    using Dispatch = std::function<std::string(const bridge::Arg& method, const bridge::Arg& arg1,
                                               const bridge::Arg& arg2)>;

    /// Largest request header read; a longer one closes the connection.
    static constexpr size_t kMaxHeader = 16 * 1024;
    /// Connections whose header is still coming that wait side by side; beyond this the oldest
    /// one is closed without an answer.
    static constexpr size_t kMaxConnections = 16;
    /// A header not complete after this long closes the connection.
    static constexpr int kHeaderTimeoutMs = 5000;
    /// An answer the peer takes nothing of for this long is abandoned and the connection closed.
    static constexpr int kSendStallMs = 5000;

    /// Decides on the server thread whether a call from a page of this origin (the request's
    /// Origin field, nullopt when it has none) may run: nullopt runs it, a reason answers "e".
    using Admit = std::function<std::optional<std::string>(const bridge::Arg& origin)>;

    explicit XhrServer(Dispatch dispatch) : dispatch_(std::move(dispatch)) {}
    ~XhrServer() { stop(); }
    XhrServer(const XhrServer&) = delete;
    XhrServer& operator=(const XhrServer&) = delete;

    /// Starts, or restarts, the server and waits until it listens or gave up. A server still
    /// answering on its port is left alone (false). A restart tries the old port first and
    /// returns true only when it had to move to another one. Any thread but the server's.
    bool start();
    /// Stops the server thread and waits until its sockets are closed.
    void stop();

    /// Sets the origin check; before the first start, from the thread that starts the server.
    void setAdmit(Admit admit) { admit_ = std::move(admit); }

    /// The listening port; 0 before the first successful start.
    unsigned port() const { return port_.load(); }
    /// The secret a request's path must start with; changes at every start.
    std::string token() const;

  private:
    void run(raii::UniqueFd listener, int wake);
    bool serve(int connection, std::string& buffer);

    Dispatch dispatch_;
    Admit admit_;
    std::atomic<unsigned> port_{0};
    mutable std::mutex lock_;
    std::condition_variable started_;
    std::string token_;
    raii::UniqueFd wake_;  // eventfd that stops the thread
    bool ready_ = false;
    std::thread thread_;  // last: stopped before what it uses
};

}  // namespace lumetta::host
