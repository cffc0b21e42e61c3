// Audio file conversion on a long file: a stereo 44.1 kHz WAV converted to 48 kHz WAV and to
// 256 kbit/s AAC, reversed, and split into two mono files, next to the ffmpeg and sox
// command-line tools doing the same work in the same run. Wall-clock seconds per job.
//
//   convert_bench [--minutes N]     (default 10)

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "audio/AudioConverter.h"
#include "audio/AudioTestSupport.h"
#include "audio/ffmpeg/FfmpegAudioFiles.h"

using namespace lumetta;
using Clock = std::chrono::steady_clock;

namespace {

double timed(const std::function<bool()>& job, bool& ok) {
    auto start = Clock::now();
    ok = job();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool run(const std::string& command) {
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool have(const char* tool) {
    return run(std::string("command -v ") + tool);
}

}  // namespace

int main(int argc, char** argv) {
    double minutes = 10;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--minutes") == 0) minutes = std::atof(argv[i + 1]);
    test::TempDir dir;
    std::string src = dir.file("long.wav");
    test::writeToneWav(src, 44100, 440.0, 0.5, minutes * 60);
    audio::FfmpegAudioFiles files;
    audio::AudioConverter converter(
        files, [&]() -> std::optional<std::string> { return dir.path() + "/"; });

    audio::AudioStreamDescription wav48;
    wav48.formatID = audio::kAudioFormatLinearPCM;
    wav48.sampleRate = 48000;
    wav48.channelsPerFrame = 2;
    wav48.bitsPerChannel = 16;
    audio::AudioStreamDescription aac = wav48;
    aac.formatID = audio::kAudioFormatMPEG4AAC;
    aac.bitsPerChannel = 0;
    aac.reserved = 256000;

    struct Job {
        const char* name;
        std::function<bool()> ours;
        std::string ffmpeg;
        std::string sox;
    };
    const std::string ff = "ffmpeg -nostdin -y -loglevel error -i " + src + " ";
    const std::string sx = "sox " + src + " ";
    Job jobs[] = {
        {"to 48 kHz WAV", [&] { return converter.convertAtURL(src, dir.file("o48.wav"), wav48); },
         ff + "-ar 48000 -c:a pcm_s16le " + dir.file("f48.wav"),
         sx + dir.file("s48.wav") + " rate 48000"},
        {"to AAC 256 kbit/s", [&] { return converter.convertAtURL(src, dir.file("o.m4a"), aac); },
         ff + "-ar 48000 -c:a aac -b:a 256k " + dir.file("f.m4a"), ""},
        {"reverse", [&] { return converter.reverseAtURL(src, dir.file("orev.wav")); },
         ff + "-af areverse " + dir.file("frev.wav"), sx + dir.file("srev.wav") + " reverse"},
        {"split into 2 mono",
         [&] {
             return converter.splitAtURL(src, {dir.file("ol.wav"), dir.file("or.wav")});
         },
         ff + "-filter_complex channelsplit=channel_layout=stereo[l][r] -map [l] " +
             dir.file("fl.wav") + " -map [r] " + dir.file("fr.wav"),
         "sh -c 'sox " + src + " " + dir.file("sl.wav") + " remix 1 && sox " + src + " " +
             dir.file("sr.wav") + " remix 2'"},
    };
    const bool ffmpeg = have("ffmpeg"), sox = have("sox");
    std::printf(
        "convert_bench: %.0f min stereo 44.1 kHz 16-bit WAV; wall seconds (ratio to the best "
        "peer)\n",
        minutes);
    for (auto& job : jobs) {
        bool ok = false, fok = false, sok = false;
        double ours = timed(job.ours, ok);
        double f = ffmpeg ? timed([&] { return run(job.ffmpeg); }, fok) : -1;
        double s = sox && !job.sox.empty() ? timed([&] { return run(job.sox); }, sok) : -1;
        double best = -1;
        if (fok) best = f;
        if (sok && (best < 0 || s < best)) best = s;
        std::printf("  %-20s lumetta %7.2f%s   ffmpeg %7.2f   sox %7.2f   ratio %.2f\n", job.name,
                    ours, ok ? "" : " (FAILED)", fok ? f : -1.0, sok ? s : -1.0,
                    best > 0 ? ours / best : 0.0);
    }
    return 0;
}
