#include "audio/PulseServer.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace lumetta::test {

PulseServer::PulseServer() {
    if (access("/usr/bin/pulseaudio", X_OK) != 0) {
        problem_ = "pulseaudio is not installed (scripts/packages.d/audio.txt)";
        return;
    }
    std::string runtime = dir_.file("run");
    mkdir(runtime.c_str(), 0700);
    socket_ = dir_.file("native");
    std::string log = dir_.file("server.log");
    pid_ = fork();
    if (pid_ == 0) {
        setenv("HOME", dir_.path().c_str(), 1);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        setenv("XDG_CONFIG_HOME", dir_.file("config").c_str(), 1);
        unsetenv("PULSE_SERVER");
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        std::string protocol =
            "module-native-protocol-unix socket=" + socket_ + " auth-anonymous=1";
        std::string logTarget = "--log-target=file:" + log;
        execl("/usr/bin/pulseaudio", "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
              "--disallow-exit", "--use-pid-file=no", logTarget.c_str(), "-L",
              "module-null-sink sink_name=testsink", "-L", protocol.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid_ < 0) {
        problem_ = "fork failed";
        return;
    }
    setenv("PULSE_SERVER", ("unix:" + socket_).c_str(), 1);
    for (int i = 0; i < 200; ++i) {
        if (access(socket_.c_str(), F_OK) == 0 && pactl("info >/dev/null 2>&1") == 0) {
            ready_ = true;
            return;
        }
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            problem_ = "the test's pulseaudio server exited at start";
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    problem_ = "the test's pulseaudio server did not answer";
}

PulseServer::~PulseServer() {
    kill();
    unsetenv("PULSE_SERVER");
}

void PulseServer::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

int PulseServer::pactl(const std::string& arguments) const {
    std::string command = "PULSE_SERVER=unix:" + socket_ + " pactl " + arguments;
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int PulseServer::loadSink(const std::string& name) const {
    std::string command =
        "PULSE_SERVER=unix:" + socket_ + " pactl load-module module-null-sink sink_name=" + name;
    FILE* out = popen(command.c_str(), "r");
    if (!out) return -1;
    int index = -1;
    if (fscanf(out, "%d", &index) != 1) index = -1;
    pclose(out);
    return index;
}

bool PulseServer::unload(int index) const {
    return pactl("unload-module " + std::to_string(index)) == 0;
}

}  // namespace lumetta::test
