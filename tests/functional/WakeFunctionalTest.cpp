// Waking from sleep, announced by a stand-in logind on a private system bus.

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <thread>

#include "AppProcess.h"
#include "base/raii/GErrorPtr.h"
#include "base/raii/GObjectPtr.h"

extern char** environ;

using lumetta::test::AppProcess;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

// A private bus that plays the system bus, with python-dbusmock's logind on it.
class FakeLogind {
  public:
    FakeLogind() {
        FILE* out =
            popen("dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1", "r");
        if (!out) return;
        char line[512] = {0};
        if (fgets(line, sizeof line, out)) address_ = std::string(line, strcspn(line, "\n"));
        if (fgets(line, sizeof line, out)) busPid_ = std::atoi(line);
        pclose(out);
        std::string env = "DBUS_SYSTEM_BUS_ADDRESS=" + address_;
        std::vector<std::string> envs = {env, "PATH=/usr/bin:/bin"};
        std::vector<char*> cenv;
        for (auto& e : envs) cenv.push_back(e.data());
        cenv.push_back(nullptr);
        const char* argv[] = {"/usr/bin/python3", "-m",     "dbusmock",
                              "--template",       "logind", nullptr};
        posix_spawn(&mockPid_, argv[0], nullptr, nullptr, const_cast<char**>(argv), cenv.data());
        GError* error = nullptr;
        bus_ = lumetta::raii::adopt(g_dbus_connection_new_for_address_sync(
            address_.c_str(),
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error));
        lumetta::raii::GErrorPtr ignored(error);  // no bus: ready() says so
        // Up to 30 s for python3-dbusmock to start: only against hanging.
        for (int i = 0; i < 1200 && bus_ && !hasLogind(); ++i) std::this_thread::sleep_for(25ms);
    }
    ~FakeLogind() {
        bus_.reset();  // before the bus it is connected to goes
        if (mockPid_ > 0) {
            kill(mockPid_, SIGTERM);
            waitpid(mockPid_, nullptr, 0);
        }
        if (busPid_ > 0) kill(busPid_, SIGTERM);
    }
    bool ready() const { return bus_ && hasLogind(); }
    const std::string& address() const { return address_; }

    void prepareForSleep(bool sleeping) {
        GVariantBuilder args;
        g_variant_builder_init(&args, G_VARIANT_TYPE("av"));
        g_variant_builder_add(&args, "v", g_variant_new_boolean(sleeping));
        GVariant* reply = g_dbus_connection_call_sync(
            bus_.get(), "org.freedesktop.login1", "/org/freedesktop/login1",
            "org.freedesktop.DBus.Mock", "EmitSignal",
            g_variant_new("(sssav)", "org.freedesktop.login1.Manager", "PrepareForSleep", "b",
                          &args),
            nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        if (reply) g_variant_unref(reply);
    }

  private:
    bool hasLogind() const {
        GVariant* reply = g_dbus_connection_call_sync(
            bus_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "NameHasOwner", g_variant_new("(s)", "org.freedesktop.login1"), G_VARIANT_TYPE("(b)"),
            G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr);
        if (!reply) return false;
        gboolean owned = FALSE;
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
        return owned;
    }

    std::string address_;
    int busPid_ = 0;
    pid_t mockPid_ = 0;
    lumetta::raii::GObjectPtr<GDBusConnection> bus_;
};

}  // namespace

TEST(AppFunctional, WakingFromSleepIsAnnounced) {
    FakeLogind logind;
    ASSERT_TRUE(logind.ready()) << "python3-dbusmock's logind did not start";
    AppProcess app;
    app.setEnv("DBUS_SYSTEM_BUS_ADDRESS", logind.address());
    app.start({"--page=" + app.page("events.html").string()});
    ASSERT_TRUE(app.waitForKey("started")) << app.stored("error").value_or("");
    json events = json::array();
    // Pulses until the application has subscribed and answered; 30 s only against hanging.
    for (int i = 0; i < 120 && events.empty(); ++i) {
        logind.prepareForSleep(true);  // going to sleep is not announced
        logind.prepareForSleep(false);
        std::this_thread::sleep_for(250ms);
        events = app.waitForKey("events", 10ms).value_or(json::array());
    }
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0], "app\fcommand\fwakeup\fNSWorkspaceDidWakeNotification");
}
