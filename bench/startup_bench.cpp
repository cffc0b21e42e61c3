// Start-up time: from launching `lumetta` on its bundled page to the page's ready call
// ($$app_ready) and to the first event the page has run (the "open" event of a file named on
// the command line), next to a bare WebKitGTK window that loads the same page and evaluates
// one script once it has loaded. Two series, each a median of several launches: cold, every
// launch in a fresh private home (nothing cached: the first start after installing), and warm,
// every launch in a home of its program that an untimed launch filled first (the caches a
// user's home keeps, such as compiled shaders, which a software renderer takes most of a second
// to build). Run with scripts/with-display.sh (make bench).
//
// `startup_bench --bare URL` is the bare window itself: it prints "ready" when the load has
// finished and "evaluated" when its first script has run, and the application's milestones
// that it shares ("startup: launch" once the toolkit is up, "page view created", "window
// presented", "first frame drawn", "page committed", "page loaded", "first script evaluated"),
// so the table shows both side by side.

#include <gtk/gtk.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <webkit/webkit.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "BenchSupport.h"

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kLaunches = 7;
// The application may take at most this much longer than the bare window to be ready.
constexpr double kGoalRatio = 1.20;

int runBareWindow(const char* url) {
    gtk_init();
    // Where the application reaches its own "launch": the toolkit is up, nothing else yet.
    std::fprintf(stderr, "startup: launch\n");
    std::fflush(stderr);
    GtkWidget* window = gtk_window_new();
    GtkWidget* view = webkit_web_view_new();
    gtk_window_set_child(GTK_WINDOW(window), view);
    gtk_window_set_default_size(GTK_WINDOW(window), 1024, 768);
    g_signal_connect(
        view, "load-changed", G_CALLBACK(+[](WebKitWebView* v, WebKitLoadEvent event, gpointer) {
            // The same milestone names as the application's, so the table sets them side by side.
            if (event == WEBKIT_LOAD_COMMITTED) {
                std::fprintf(stderr, "startup: page committed\n");
                std::fflush(stderr);
            }
            if (event != WEBKIT_LOAD_FINISHED) return;
            std::fprintf(stderr, "startup: page loaded\nready\n");
            std::fflush(stderr);
            webkit_web_view_evaluate_javascript(
                v, "window.dispatchEvent(new Event('bench'))", -1, nullptr, nullptr, nullptr,
                [](GObject* source, GAsyncResult* result, gpointer) {
                    if (JSCValue* value = webkit_web_view_evaluate_javascript_finish(
                            WEBKIT_WEB_VIEW(source), result, nullptr))
                        g_object_unref(value);
                    std::fprintf(stderr, "startup: first script evaluated\nevaluated\n");
                    std::fflush(stderr);
                },
                nullptr);
        }),
        nullptr);
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), url);
    std::fprintf(stderr, "startup: page view created\n");
    std::fflush(stderr);
    gtk_window_present(GTK_WINDOW(window));
    std::fprintf(stderr, "startup: window presented\n");
    std::fflush(stderr);
    g_signal_connect(gtk_widget_get_frame_clock(window), "after-paint",
                     G_CALLBACK(+[](GdkFrameClock*, gpointer) {
                         static bool drawn = false;
                         if (drawn) return;
                         drawn = true;
                         std::fprintf(stderr, "startup: first frame drawn\n");
                         std::fflush(stderr);
                     }),
                     nullptr);
    for (;;) g_main_context_iteration(nullptr, TRUE);
}

struct Launch {
    double ready = -1;                         // seconds from launch to the first milestone
    double evaluated = -1;                     // seconds from launch to the second
    std::map<std::string, double> milestones;  // every "startup: <name>" line the process printed
};

// A private home: its own configuration, data, cache and runtime folders, gone with it.
class PrivateHome {
  public:
    PrivateHome() {
        char tmpl[] = "/tmp/lumetta-startup-XXXXXX";
        if (!mkdtemp(tmpl)) return;
        root_ = tmpl;
        for (const char* dir : {"home", "config", "data", "cache", "runtime"})
            fs::create_directories(root_ / dir);
        fs::permissions(root_ / "runtime", fs::perms::owner_all);
    }
    ~PrivateHome() {
        std::error_code ignored;
        if (!root_.empty()) fs::remove_all(root_, ignored);
    }
    PrivateHome(const PrivateHome&) = delete;
    PrivateHome& operator=(const PrivateHome&) = delete;
    const fs::path& root() const { return root_; }

  private:
    fs::path root_;
};

// Starts `argv` with stderr on a pipe in `home`, timestamps the lines that mark the two
// milestones as they arrive, then ends the process.
Launch launch(const std::vector<std::string>& argv, const PrivateHome& privateHome,
              const std::string& readyLine, const std::string& evaluatedLine) {
    Launch result;
    if (privateHome.root().empty()) return result;
    const fs::path& home = privateHome.root();
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string v = *e;
        if (v.rfind("HOME=", 0) == 0 || v.rfind("XDG_", 0) == 0) continue;
        env.push_back(v);
    }
    env.push_back("HOME=" + (home / "home").string());
    env.push_back("XDG_CONFIG_HOME=" + (home / "config").string());
    env.push_back("XDG_DATA_HOME=" + (home / "data").string());
    env.push_back("XDG_CACHE_HOME=" + (home / "cache").string());
    env.push_back("XDG_RUNTIME_DIR=" + (home / "runtime").string());
    env.push_back("LUMETTA_STARTUP_TRACE=1");

    int pipeFds[2];
    if (pipe(pipeFds) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::vector<char*> cargv, cenv;
    for (auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    for (auto& e : env) cenv.push_back(const_cast<char*>(e.c_str()));
    cenv.push_back(nullptr);
    pid_t pid = -1;
    const auto start = Clock::now();
    const int spawned = posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned == 0) {
        FILE* in = fdopen(pipeFds[0], "r");
        char line[4096];
        // The load may finish after the page has called ready; its milestone is read too, so
        // its median is not taken over only the launches where it happened to come first.
        auto seen = [&](const char* milestone) { return result.milestones.count(milestone) > 0; };
        while ((result.ready < 0 || result.evaluated < 0 || !seen("page loaded")) &&
               std::fgets(line, sizeof line, in)) {
            const double at = std::chrono::duration<double>(Clock::now() - start).count();
            if (const char* m = std::strstr(line, "startup: ")) {
                std::string name = m + std::strlen("startup: ");
                while (!name.empty() && (name.back() == '\n' || name.back() == '\r'))
                    name.pop_back();
                result.milestones.emplace(name, at);
            }
            if (std::strstr(line, readyLine.c_str()) && result.ready < 0) result.ready = at;
            if (std::strstr(line, evaluatedLine.c_str()) && result.evaluated < 0)
                result.evaluated = at;
        }
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        std::fclose(in);
    } else {
        close(pipeFds[0]);
    }
    return result;
}

double median(std::vector<double> values) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    return lumetta::bench::percentile(values, 0.5);
}

// Launches the application and the bare window `kLaunches` times each, alternately, in the
// given homes or (null) a fresh one each time, and prints the medians; whether both ratios
// are within the goal.
bool runSeries(const char* title, const PrivateHome* appHome, const PrivateHome* bareHome,
               const std::vector<std::string>& appArgv, const std::vector<std::string>& bareArgv) {
    std::vector<double> appReady, appEvent, bareReady, bareEvent;
    std::map<std::string, std::vector<double>> appMilestones, bareMilestones;
    for (int i = 0; i < kLaunches; ++i) {
        // Alternate, so a slow moment of the machine falls on both.
        Launch a, b;
        {
            PrivateHome fresh;
            a = launch(appArgv, appHome ? *appHome : fresh, "startup: page ready",
                       "startup: first script evaluated");
        }
        {
            PrivateHome fresh;
            b = launch(bareArgv, bareHome ? *bareHome : fresh, "ready", "evaluated");
        }
        for (auto& [name, at] : a.milestones) appMilestones[name].push_back(at);
        for (auto& [name, at] : b.milestones) bareMilestones[name].push_back(at);
        if (a.ready >= 0) appReady.push_back(a.ready);
        if (a.evaluated >= 0) appEvent.push_back(a.evaluated);
        if (b.ready >= 0) bareReady.push_back(b.ready);
        if (b.evaluated >= 0) bareEvent.push_back(b.evaluated);
    }

    const double ar = median(appReady), ae = median(appEvent);
    const double br = median(bareReady), be = median(bareEvent);
    std::printf("start-up, median of %d %s (bundled page):\n", kLaunches, title);
    std::printf("  lumetta      page ready %7.1f ms   first event run %7.1f ms   (%zu/%zu seen)\n",
                ar * 1e3, ae * 1e3, appReady.size(), appEvent.size());
    std::printf(
        "  bare WebKit  page loaded %6.1f ms   first script run %6.1f ms   (%zu/%zu seen)\n",
        br * 1e3, be * 1e3, bareReady.size(), bareEvent.size());
    // Where the application's time goes, in the order reached.
    std::vector<std::pair<double, std::string>> order;
    for (auto& [name, times] : appMilestones) order.emplace_back(median(times), name);
    std::sort(order.begin(), order.end());
    for (auto& [at, name] : order) {
        auto bare = bareMilestones.find(name);
        if (bare == bareMilestones.end())
            std::printf("    %-24s %7.1f ms\n", name.c_str(), at * 1e3);
        else
            std::printf("    %-24s %7.1f ms   bare window %7.1f ms\n", name.c_str(), at * 1e3,
                        median(bare->second) * 1e3);
    }
    auto ratio = [](double ours, double bare) {
        char text[32] = "n/a";
        if (ours > 0 && bare > 0) std::snprintf(text, sizeof text, "%.2fx", ours / bare);
        return std::string(text);
    };
    const bool met =
        ar > 0 && br > 0 && ae > 0 && be > 0 && ar / br <= kGoalRatio && ae / be <= kGoalRatio;
    std::printf("  ratio        ready %s   first event %s   (goal: within %.2fx: %s)\n",
                ratio(ar, br).c_str(), ratio(ae, be).c_str(), kGoalRatio, met ? "met" : "not met");
    return met;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--bare") == 0) return runBareWindow(argv[2]);

    const fs::path self = fs::canonical("/proc/self/exe");
    const fs::path app = self.parent_path().parent_path() / "lumetta";
    const fs::path page = fs::path(LUMETTA_SOURCE_RESOURCES) / "html" / "index.html";
    if (!fs::exists(app)) {
        std::printf("startup: %s not built\n", app.c_str());
        return 0;
    }
    // A file named at launch reaches the page as an "open" event once it is ready.
    const fs::path opened = fs::temp_directory_path() / "lumetta-startup-bench.wav";
    {
        std::FILE* f = std::fopen(opened.c_str(), "w");
        if (f) std::fclose(f);
    }

    const std::vector<std::string> appArgv{app.string(), opened.string()};
    const std::vector<std::string> bareArgv{self.string(), "--bare", "file://" + page.string()};
    bool met = runSeries("cold launches, each in a fresh private home", nullptr, nullptr, appArgv,
                         bareArgv);
    {
        // One untimed launch fills each program's home, as any earlier start would have.
        PrivateHome appHome, bareHome;
        launch(appArgv, appHome, "startup: page ready", "startup: first script evaluated");
        launch(bareArgv, bareHome, "ready", "evaluated");
        met = runSeries("warm launches, each program in a home an earlier launch filled", &appHome,
                        &bareHome, appArgv, bareArgv) &&
              met;
    }
    fs::remove(opened);
    std::printf("start-up goal (within %.2fx of the bare window, cold and warm): %s\n", kGoalRatio,
                met ? "met" : "not met");
    return 0;
}
