#include "AppProcess.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "host/gtk/KeyFileStore.h"

extern char** environ;

namespace fs = std::filesystem;

namespace lumetta::test {

AppProcess::AppProcess() {
    char templ[] = "/tmp/lumetta-app-XXXXXX";
    if (!mkdtemp(templ)) throw std::runtime_error("cannot make a private home");
    root_ = templ;
    for (const char* dir : {"home", "config", "data", "cache", "runtime"})
        fs::create_directories(root_ / dir);
    fs::permissions(root_ / "runtime", fs::perms::owner_all);
    fs::copy(LUMETTA_TEST_PAGES, root_ / "pages", fs::copy_options::recursive);
    fs::copy_file(LUMETTA_PAGE_LIBRARY, root_ / "pages" / "lumetta.js",
                  fs::copy_options::overwrite_existing);
}

AppProcess::~AppProcess() {
    stop();
    std::error_code ec;
    fs::remove_all(root_, ec);
}

pid_t AppProcess::spawn(const std::vector<std::string>& args) {
    std::vector<std::string> env = {
        "HOME=" + (root_ / "home").string(),
        "XDG_CONFIG_HOME=" + (root_ / "config").string(),
        "XDG_DATA_HOME=" + (root_ / "data").string(),
        "XDG_CACHE_HOME=" + (root_ / "cache").string(),
        "XDG_RUNTIME_DIR=" + (root_ / "runtime").string(),
        "NO_AT_BRIDGE=1",
        "GDK_BACKEND=x11",
    };
    // The sanitizer options too: a build with AddressSanitizer reads them in the application.
    for (const char* pass : {"DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "PATH", "LANG", "ASAN_OPTIONS",
                             "LSAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
        if (const char* v = std::getenv(pass)) env.push_back(std::string(pass) + "=" + v);
    }
    env.insert(env.end(), extraEnv_.begin(), extraEnv_.end());
    std::vector<std::string> argv = {LUMETTA_APP_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv, cenv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    for (auto& e : env) cenv.push_back(e.data());
    cenv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, LUMETTA_APP_PATH, nullptr, nullptr, cargv.data(), cenv.data()) != 0)
        throw std::runtime_error("cannot start the application");
    return pid;
}

void AppProcess::start(const std::vector<std::string>& args) {
    pid_ = spawn(args);
}

namespace {
// Waits for `pid` to end: its exit status (128 + signal when killed), or nullopt on time-out.
std::optional<int> waitForChild(pid_t pid, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}
}  // namespace

int AppProcess::runAnother(const std::vector<std::string>& args, std::chrono::seconds timeout) {
    pid_t pid = spawn(args);
    if (auto status = waitForChild(pid, timeout); status && *status < 128) return *status;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);  // returns at once when it was already reaped
    return -1;
}

std::optional<std::string> AppProcess::stored(const std::string& key) const {
    host::KeyFileStore store((root_ / "config" / "com.velmar.lumetta" / "store.ini").string());
    return store.get(key);
}

std::optional<nlohmann::json> AppProcess::waitForKey(const std::string& key,
                                                     std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (auto value = stored(key)) {
            auto parsed = nlohmann::json::parse(*value, nullptr, false);
            return parsed.is_discarded() ? nlohmann::json(*value) : parsed;
        }
        if (!running()) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::nullopt;
}

bool AppProcess::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

std::optional<int> AppProcess::waitForExit(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return std::nullopt;
    auto status = waitForChild(pid_, timeout);
    if (status) pid_ = -1;
    return status;
}

void AppProcess::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (!waitForExit(std::chrono::seconds(5))) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

std::string AppProcess::waitForWindowTitle(const std::string& expected,
                                           std::chrono::milliseconds timeout) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return {};
    Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    Atom nameAtom = XInternAtom(display, "_NET_WM_NAME", False);
    Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    std::string title;
    auto end = std::chrono::steady_clock::now() + timeout;
    while (title != expected && std::chrono::steady_clock::now() < end) {
        Window root = DefaultRootWindow(display), parent = 0, *children = nullptr;
        unsigned count = 0;
        if (XQueryTree(display, root, &root, &parent, &children, &count)) {
            for (unsigned i = 0; i < count && title != expected; ++i) {
                Atom type = 0;
                int format = 0;
                unsigned long items = 0, after = 0;
                unsigned char* data = nullptr;
                bool ours =
                    XGetWindowProperty(display, children[i], pidAtom, 0, 1, False, XA_CARDINAL,
                                       &type, &format, &items, &after, &data) == Success &&
                    data && items == 1 && *reinterpret_cast<long*>(data) == pid_;
                if (data) XFree(data);
                data = nullptr;
                if (ours &&
                    XGetWindowProperty(display, children[i], nameAtom, 0, 1024, False, utf8, &type,
                                       &format, &items, &after, &data) == Success &&
                    data && items > 0)
                    title = std::string(reinterpret_cast<char*>(data), items);
                if (data) XFree(data);
            }
            if (children) XFree(children);
        }
        if (title != expected) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    XCloseDisplay(display);
    return title;
}

bool AppProcess::closeWindow() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    Window root = DefaultRootWindow(display), parent = 0, *children = nullptr;
    unsigned count = 0;
    bool sent = false;
    if (XQueryTree(display, root, &root, &parent, &children, &count)) {
        for (unsigned i = 0; i < count && !sent; ++i) {
            Atom type = 0;
            int format = 0;
            unsigned long items = 0, after = 0;
            unsigned char* data = nullptr;
            if (XGetWindowProperty(display, children[i], pidAtom, 0, 1, False, XA_CARDINAL, &type,
                                   &format, &items, &after, &data) == Success &&
                data && items == 1) {
                long windowPid = *reinterpret_cast<long*>(data);
                XWindowAttributes attributes{};
                XGetWindowAttributes(display, children[i], &attributes);
                if (windowPid == pid_ && attributes.map_state == IsViewable) {
                    XEvent event{};
                    event.xclient.type = ClientMessage;
                    event.xclient.window = children[i];
                    event.xclient.message_type = protocols;
                    event.xclient.format = 32;
                    event.xclient.data.l[0] = static_cast<long>(deleteWindow);
                    event.xclient.data.l[1] = CurrentTime;
                    XSendEvent(display, children[i], False, NoEventMask, &event);
                    sent = true;
                }
            }
            if (data) XFree(data);
        }
        if (children) XFree(children);
    }
    XFlush(display);
    XCloseDisplay(display);
    return sent;
}

std::optional<std::string> AppProcess::windowTitle() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return std::nullopt;
    Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    Atom nameAtom = XInternAtom(display, "_NET_WM_NAME", False);
    Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Window root = DefaultRootWindow(display), parent = 0, *children = nullptr;
    unsigned count = 0;
    std::optional<std::string> title;
    if (XQueryTree(display, root, &root, &parent, &children, &count)) {
        for (unsigned i = 0; i < count && !title; ++i) {
            Atom type = 0;
            int format = 0;
            unsigned long items = 0, after = 0;
            unsigned char* data = nullptr;
            bool ours = XGetWindowProperty(display, children[i], pidAtom, 0, 1, False, XA_CARDINAL,
                                           &type, &format, &items, &after, &data) == Success &&
                        data && items == 1 && *reinterpret_cast<long*>(data) == pid_;
            if (data) XFree(data);
            XWindowAttributes attributes{};
            if (!ours || !XGetWindowAttributes(display, children[i], &attributes) ||
                attributes.map_state != IsViewable)
                continue;
            data = nullptr;
            if (XGetWindowProperty(display, children[i], nameAtom, 0, 1024, False, utf8, &type,
                                   &format, &items, &after, &data) == Success &&
                data)
                title = std::string(reinterpret_cast<char*>(data), items);
            if (data) XFree(data);
        }
        if (children) XFree(children);
    }
    XCloseDisplay(display);
    return title;
}

}  // namespace lumetta::test
