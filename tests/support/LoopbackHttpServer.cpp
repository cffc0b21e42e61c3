#include "support/LoopbackHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace lumetta::test {

namespace {
int listenOnLoopback(uint16_t& port, bool listening) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        (listening && listen(fd, 16) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        throw std::runtime_error("cannot listen on loopback");
    }
    port = ntohs(address.sin_port);
    return fd;
}
}  // namespace

uint16_t closedLoopbackPort() {
    uint16_t port = 0;
    close(listenOnLoopback(port, false));
    return port;
}

LoopbackHttpServer::LoopbackHttpServer(Mode mode, std::string html)
    : LoopbackHttpServer(mode, [html = std::move(html)](const std::string&, const std::string&) {
          return Response{.body = html};
      }) {}

LoopbackHttpServer::LoopbackHttpServer(Handler handler)
    : LoopbackHttpServer(Mode::Serve, std::move(handler)) {}

LoopbackHttpServer::LoopbackHttpServer(Mode mode, Handler handler)
    : mode_(mode), handler_(std::move(handler)) {
    listenFd_.reset(listenOnLoopback(port_, true));
    wakeFd_.reset(eventfd(0, EFD_CLOEXEC));
    thread_ = std::thread([this] { run(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    uint64_t one = 1;
    if (write(wakeFd_.get(), &one, sizeof one) <
        0) { /* the thread then ends at its next poll time-out */
    }
    thread_.join();
}

void LoopbackHttpServer::run() {
    while (true) {
        pollfd fds[] = {{listenFd_.get(), POLLIN, 0}, {wakeFd_.get(), POLLIN, 0}};
        if (poll(fds, 2, 200) < 0) continue;
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        int fd = accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        if (mode_ == Mode::Silent)
            held_.emplace_back(fd);
        else
            serve(fd);
    }
}

void LoopbackHttpServer::serve(int fd) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0) break;
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
    }
    std::string target = request.substr(0, request.find("\r\n"));
    target = target.substr(target.find(' ') + 1);
    target = target.substr(0, target.find(' '));
    size_t mark = target.find('?');
    Response answer;
    try {
        answer = handler_(target.substr(0, mark),
                          mark == std::string::npos ? std::string() : target.substr(mark + 1));
    } catch (const std::exception& e) {
        answer = {"500 Internal Server Error", "text/plain", e.what()};
    }
    std::string response =
        "HTTP/1.1 " + answer.status + "\r\nContent-Type: " + answer.type +
        "\r\nCache-Control: no-store\r\nContent-Length: " + std::to_string(answer.body.size()) +
        "\r\nConnection: close\r\n\r\n" + answer.body;
    size_t sent = 0;
    while (sent < response.size()) {
        ssize_t n = send(fd, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    close(fd);
}

}  // namespace lumetta::test
