#pragma once

// Runs the real application in a private home, the way a user starts it, for tests that
// drive it through its page. Needs a display and a session bus (scripts/with-display.sh).

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace lumetta::test {

class AppProcess {
  public:
    /// Makes a private home with its XDG folders and a copy of the test pages in `root()/pages`.
    AppProcess();
    /// Ends the application if it still runs, and removes the private home.
    ~AppProcess();
    AppProcess(const AppProcess&) = delete;
    AppProcess& operator=(const AppProcess&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path page(const std::string& name) const { return root_ / "pages" / name; }

    /// Adds a variable to the environment of the applications started from now on.
    void setEnv(const std::string& name, const std::string& value) {
        extraEnv_.push_back(name + "=" + value);
    }

    /// Starts `lumetta` with these arguments.
    void start(const std::vector<std::string>& args);
    /// Runs a second `lumetta` with these arguments and waits for it to end; its exit status.
    int runAnother(const std::vector<std::string>& args,
                   std::chrono::seconds timeout = std::chrono::seconds(20));

    /// Waits until the page stored a value under `key` (with $$app_storage2); parsed as JSON
    /// when it is JSON, else as a string.
    std::optional<nlohmann::json> waitForKey(
        const std::string& key, std::chrono::milliseconds timeout = std::chrono::seconds(30));
    /// The stored value under `key` now, if any.
    std::optional<std::string> stored(const std::string& key) const;

    /// Waits until the application's window has the title `expected`; the last title seen
    /// (empty when there was no window).
    std::string waitForWindowTitle(const std::string& expected,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(30));
    /// Asks the main window to close, as a window manager's close button does.
    bool closeWindow();
    /// The title of the application's visible main window, as the window manager reads it.
    std::optional<std::string> windowTitle();
    /// Waits for the application to end; its exit status, or nullopt on time-out.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);
    bool running();

  private:
    pid_t spawn(const std::vector<std::string>& args);
    void stop();

    std::filesystem::path root_;
    std::vector<std::string> extraEnv_;
    pid_t pid_ = -1;
};

}  // namespace lumetta::test
