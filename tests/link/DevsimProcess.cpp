#include "link/DevsimProcess.h"

#include <fcntl.h>
#include <glib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace lumetta::test {

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        if (!g_main_context_iteration(nullptr, FALSE))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void pumpFor(std::chrono::milliseconds span) {
    auto end = std::chrono::steady_clock::now() + span;
    pumpUntil([&] { return std::chrono::steady_clock::now() >= end; }, span + 1s);
}

DevsimProcess::DevsimProcess(const std::vector<std::string>& args,
                             const std::vector<std::string>& prefix) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
    std::vector<std::string> all = prefix;
    all.push_back(LUMETTA_DEVSIM_PATH);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    out_.reset(pipeFds[0]);
    if (pid_ < 0) return;
    reader_ = std::thread([this] { readLines(); });
    auto end = std::chrono::steady_clock::now() + 10s;
    std::string first;
    while (std::chrono::steady_clock::now() < end) {
        {
            std::lock_guard guard(lock_);
            if (!lines_.empty()) {
                first = lines_.front();
                lines_.erase(lines_.begin());
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    dictionary_ = nlohmann::json::parse(first, nullptr, false);
    if (dictionary_.is_discarded()) dictionary_ = nullptr;
}

DevsimProcess::~DevsimProcess() {
    terminate();
    if (reader_.joinable()) reader_.join();
}

void DevsimProcess::terminate() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    bool ended = false;
    for (int i = 0; i < 300 && !ended; ++i) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_)
            ended = true;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ended) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    // Its last lines are read before anyone looks.
    if (reader_.joinable()) reader_.join();
}

void DevsimProcess::readLines() {
    std::string partial;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(out_.get(), buffer, sizeof buffer)) != 0) {
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        partial.append(buffer, size_t(n));
        size_t at;
        std::lock_guard guard(lock_);
        while ((at = partial.find('\n')) != std::string::npos) {
            lines_.push_back(partial.substr(0, at));
            partial.erase(0, at + 1);
        }
    }
}

std::vector<std::string> DevsimProcess::lines() {
    std::lock_guard guard(lock_);
    return lines_;
}

std::optional<std::string> DevsimProcess::findFrom(const std::string& prefix, size_t from) {
    std::lock_guard guard(lock_);
    for (size_t i = from; i < lines_.size(); ++i)
        if (lines_[i].rfind(prefix, 0) == 0) return lines_[i];
    return std::nullopt;
}

std::optional<std::string> DevsimProcess::waitFor(const std::string& prefix, size_t from,
                                                  std::chrono::milliseconds limit) {
    std::optional<std::string> found;
    pumpUntil([&] { return (found = findFrom(prefix, from)).has_value(); }, limit);
    return found;
}

size_t DevsimProcess::count(const std::string& prefix) {
    std::lock_guard guard(lock_);
    size_t n = 0;
    for (auto& l : lines_)
        if (l.rfind(prefix, 0) == 0) ++n;
    return n;
}

}  // namespace lumetta::test
