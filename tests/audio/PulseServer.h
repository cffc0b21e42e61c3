#pragma once

// A private PulseAudio server for one test: its own runtime folder and socket, one null sink
// "testsink" (whose monitor "testsink.monitor" records what is played into it). The test
// process's PULSE_SERVER points at it while it runs. Never the machine's own server.

#include <sys/types.h>

#include <string>

#include "audio/AudioTestSupport.h"

namespace lumetta::test {

class PulseServer {
  public:
    PulseServer();
    /// Stops the server (if still running) and removes its folder.
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    /// True when the server runs and answers.
    bool running() const { return ready_; }
    /// Why it does not, for the skip message.
    const std::string& problem() const { return problem_; }
    /// Kills the server at once, as a crash would.
    void kill();
    /// Runs pactl against this server; its exit status.
    int pactl(const std::string& arguments) const;
    /// Loads another null sink; the module's index, or -1.
    int loadSink(const std::string& name) const;
    /// Unloads the module of that index.
    bool unload(int index) const;

  private:
    TempDir dir_;
    std::string socket_;
    pid_t pid_ = -1;
    bool ready_ = false;
    std::string problem_;
};

}  // namespace lumetta::test
