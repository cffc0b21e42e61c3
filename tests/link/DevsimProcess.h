#pragma once

// Runs lumetta-devsim as the real peer of a test, reads its event lines, and turns the GLib main
// loop while a test waits, since every link socket is served there.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/raii/UniqueFd.h"

namespace lumetta::test {

using namespace std::chrono_literals;

/// Iterates the default main context until `done` holds or `limit` passes (a hang guard, set far
/// above the expected time); whether `done` held.
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s);
/// Iterates the default main context for `span`.
void pumpFor(std::chrono::milliseconds span);

class DevsimProcess {
  public:
    /// Starts the simulator with `args` and waits for its dictionary line.
    explicit DevsimProcess(const std::vector<std::string>& args,
                           const std::vector<std::string>& prefix = {});
    /// Stops it (SIGTERM, then SIGKILL) and reaps it.
    ~DevsimProcess();
    DevsimProcess(const DevsimProcess&) = delete;
    DevsimProcess& operator=(const DevsimProcess&) = delete;

    /// The device dictionary it printed first (address 127.0.0.1 unless bound elsewhere).
    const nlohmann::json& dictionary() const { return dictionary_; }
    bool started() const { return !dictionary_.is_null(); }
    /// Its process id while it runs, else -1.
    pid_t pid() const { return pid_; }

    /// Every line it printed after the dictionary, read so far.
    std::vector<std::string> lines();
    /// Waits (turning the main loop) for a line starting with `prefix` after line `from`;
    /// the line, or nullopt on the hang guard.
    std::optional<std::string> waitFor(const std::string& prefix, size_t from = 0,
                                       std::chrono::milliseconds limit = 10s);
    /// How many lines so far start with `prefix`.
    size_t count(const std::string& prefix);
    /// Asks it to end (SIGTERM) and waits until it has.
    void terminate();

  private:
    // Reads its output as it comes, so a chatty simulator never blocks on a full pipe.
    void readLines();
    std::optional<std::string> findFrom(const std::string& prefix, size_t from);

    pid_t pid_ = -1;
    raii::UniqueFd out_;
    std::mutex lock_;  // guards lines_
    std::vector<std::string> lines_;
    nlohmann::json dictionary_;
    std::thread reader_;  // last: ends at the pipe's end, joined before the rest goes
};

}  // namespace lumetta::test
