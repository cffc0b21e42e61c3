// CPU time per second of audio for playback (rate 1.0, and time-pitch at 0.5 and 2.0) and for
// recording to WAV and to AAC, next to paplay and parecord doing the same work in the same run,
// on a private PulseAudio server with a null sink. Also counts underruns and overruns.
//
//   audio_bench [--seconds N]     (default 60)

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "audio/AudioInput.h"
#include "audio/AudioOutput.h"
#include "audio/AudioPlayer.h"
#include "audio/AudioRecorder.h"
#include "audio/AudioTestSupport.h"
#include "audio/PulseServer.h"
#include "audio/ffmpeg/FfmpegAudioFiles.h"
#include "audio/pulse/PulseAudioSystem.h"

using namespace lumetta;
using Clock = std::chrono::steady_clock;

namespace {

double cpuSeconds(const rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double selfCpu() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return cpuSeconds(u);
}

struct EndWatch final : audio::AudioPlayerDelegate {
    std::atomic<bool> ended{false};
    void audioPlayerDidEndSong(const std::string&) override { ended = true; }
    void audioPlayerErrorDidOccur(const std::string&) override { ended = true; }
};

// Plays `file` at `rate` to its end; CPU seconds used by this process.
double playOnce(const std::string& file, float rate, double seconds) {
    audio::FfmpegAudioFiles files;
    audio::AudioOutput output(std::make_unique<audio::pulse::PulseQueueFactory>("bench player"));
    audio::AudioPlayer player(files, nullptr);
    EndWatch watch;
    player.setDelegate(&watch);
    player.setOutput(&output);
    if (!player.open(file)) return -1;
    player.setSpeed(rate);
    double before = selfCpu();
    player.play();
    auto guard = Clock::now() + std::chrono::duration<double>(seconds / rate * 2 + 10);
    while (!watch.ended && Clock::now() < guard)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    double used = selfCpu() - before;
    player.close();
    return used;
}

// Records `seconds` from the monitor in the format of `code`; CPU seconds of this process.
double recordOnce(const std::string& file, int code, double seconds) {
    audio::FfmpegAudioFiles files;
    audio::AudioInput input(std::make_unique<audio::pulse::PulseQueueFactory>("bench recorder"));
    audio::AudioRecorder recorder(files);
    recorder.setInput(&input);
    recorder.setDevice("testsink.monitor");
    if (!recorder.create(file, code)) return -1;
    double before = selfCpu();
    recorder.record();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    recorder.stop(false);
    return selfCpu() - before;
}

// Runs a command to its end (or kills it after `seconds`); its CPU seconds.
double childCpu(const std::string& command, double killAfter) {
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (killAfter > 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(killAfter));
        kill(pid, SIGINT);
    }
    int status;
    rusage u;
    wait4(pid, &status, 0, &u);
    return cpuSeconds(u);
}

// A background player of the tone so that recordings capture sound; stopped by the caller.
pid_t backgroundTone(const std::string& file) {
    pid_t pid = fork();
    if (pid == 0) {
        execlp("sh", "sh", "-c", ("while true; do paplay -d testsink " + file + "; done").c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    setpgid(pid, pid);
    return pid;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 60;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    test::PulseServer server;
    if (!server.running()) {
        std::printf("audio_bench: skipped, %s\n", server.problem().c_str());
        return 0;
    }
    test::TempDir dir;
    std::string tone = dir.file("tone.wav");
    test::writeToneWav(tone, 44100, 440.0, 0.5, seconds);
    std::string shortTone = dir.file("short.wav");
    test::writeToneWav(shortTone, 44100, 440.0, 0.5, 5.0);
    // Wake the null sink out of its idle block first.
    childCpu("paplay -d testsink " + shortTone, 0);

    std::printf("audio_bench: %.0f s of 44.1 kHz stereo per case; CPU ms per second of audio\n",
                seconds);
    double pa = childCpu("paplay -d testsink " + tone, 0) / seconds;
    std::printf("  %-34s %8.2f\n", "paplay (peer)", pa * 1000);
    for (float rate : {1.0f, 0.5f, 2.0f}) {
        uint64_t under = audio::pulse::PulseQueueFactory::underruns();
        double cpu = playOnce(tone, rate, seconds);
        double audio = seconds / rate;  // seconds of audio played out
        std::printf(
            "  %-34s %8.2f   %.2fx paplay   underruns %llu\n",
            ("lumetta playback rate " + std::to_string(rate).substr(0, 3)).c_str(),
            cpu / audio * 1000, cpu / audio / pa,
            static_cast<unsigned long long>(audio::pulse::PulseQueueFactory::underruns() - under));
    }

    pid_t player = backgroundTone(tone);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    double pr = childCpu("parecord -d testsink.monitor --file-format=wav " + dir.file("peer.wav"),
                         seconds) /
                seconds;
    std::printf("  %-34s %8.2f\n", "parecord WAV (peer)", pr * 1000);
    for (auto [code, name] : std::vector<std::pair<int, const char*>>{
             {4, "WAV"}, {0, "AAC 256 kbit/s"}, {3, "AAC 64 kbit/s"}}) {
        uint64_t over = audio::pulse::PulseQueueFactory::overruns();
        double cpu =
            recordOnce(dir.file(std::string("take") + std::to_string(code)), code, seconds) /
            seconds;
        std::printf(
            "  %-34s %8.2f   %.2fx parecord   overruns %llu\n",
            (std::string("lumetta recording ") + name).c_str(), cpu * 1000, cpu / pr,
            static_cast<unsigned long long>(audio::pulse::PulseQueueFactory::overruns() - over));
    }
    kill(-player, SIGTERM);
    int status;
    waitpid(player, &status, 0);
    return 0;
}
