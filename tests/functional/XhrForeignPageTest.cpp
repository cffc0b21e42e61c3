// A page from another origin, in another web view, tries to call into the loopback server: it
// knows the port but not the secret, so nothing may run.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <webkit/webkit.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "bridge/NotificationCenter.h"
#include "host/gtk/GlibMainThread.h"
#include "host/gtk/WebViewController.h"
#include "modules/app/AppModule.h"
#include "support/NullServices.h"

using namespace lumetta;
using namespace std::chrono_literals;

namespace {

// Serves one fixed page to every request on a loopback port of its own.
class PageServer {
  public:
    explicit PageServer(std::string html) : html_(std::move(html)) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        listen(fd_, 8);
        socklen_t len = sizeof addr;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] {
            while (!stop_) {
                int c = accept(fd_, nullptr, nullptr);
                if (c < 0) break;
                char buf[4096];
                ssize_t got = recv(c, buf, sizeof buf, 0);
                (void)got;
                std::string reply =
                    "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: "
                    "close\r\nContent-Length: " +
                    std::to_string(html_.size()) + "\r\n\r\n" + html_;
                send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
                close(c);
            }
        });
    }
    ~PageServer() {
        stop_ = true;
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        thread_.join();
    }
    unsigned port() const { return port_; }

  private:
    std::string html_;
    int fd_ = -1;
    unsigned port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void spinFor(std::chrono::milliseconds time) {
    bool done = false;
    g_timeout_add(
        static_cast<guint>(time.count()),
        [](gpointer d) -> gboolean {
            *static_cast<bool*>(d) = true;
            return G_SOURCE_REMOVE;
        },
        &done);
    while (!done) g_main_context_iteration(nullptr, TRUE);
}

}  // namespace

TEST(LoopbackServer, AForeignPageCannotCallIn) {
    gtk_init();
    host::GlibMainThread mainThread;
    test::NullStore store;
    test::NullApplication application;
    bridge::Services services{mainThread, bridge::NotificationCenter::defaultCenter(), store,
                              application};
    host::WebViewController controller(services, {modules::app::descriptor()}, {});
    bridge::NativeCall& native = controller.intf().native();
    native.setClipboard("untouched");
    unsigned port = controller.intf().portNo();
    ASSERT_NE(port, 0u);

    std::string target = "127.0.0.1:" + std::to_string(port);
    std::string calls[] = {
        "http://" + target + "/$$app_clipboard?pwned",
        "http://" + target + "/call/$$app_clipboard?pwned",
        "http://" + target + "/" + std::string(32, 'A') + "/$$app_clipboard?pwned",
        "http://localhost:" + std::to_string(port) + "/$$app_clipboard?pwned",
    };
    std::string script = "const calls = [";
    for (auto& c : calls) script += "'" + c + "',";
    script += R"JS(];
for (const url of calls) {
  fetch(url, { mode: 'no-cors' }).catch(() => {});
  fetch(url, { method: 'POST', mode: 'no-cors', body: 'x' }).catch(() => {});
  new Image().src = url;
}
document.title = 'sent';
)JS";
    PageServer foreign("<!DOCTYPE html><html><body><script>" + script + "</script></body></html>");

    GtkWidget* window = gtk_window_new();
    auto* view = WEBKIT_WEB_VIEW(webkit_web_view_new());
    gtk_window_set_child(GTK_WINDOW(window), GTK_WIDGET(view));
    gtk_window_present(GTK_WINDOW(window));
    webkit_web_view_load_uri(
        view, ("http://127.0.0.1:" + std::to_string(foreign.port()) + "/foreign.html").c_str());
    for (int i = 0; i < 200 && g_strcmp0(webkit_web_view_get_title(view), "sent") != 0; ++i)
        spinFor(50ms);
    ASSERT_STREQ(webkit_web_view_get_title(view), "sent") << "the foreign page did not run";
    spinFor(1500ms);
    EXPECT_EQ(native.clipboard(), "untouched") << "a call from the foreign page ran";
    gtk_window_destroy(GTK_WINDOW(window));
}
