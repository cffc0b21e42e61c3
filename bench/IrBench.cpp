// Impulse-response conversion benchmark: the literal reference against the fast engine on a
// synthetic 0.5 s cabinet IR and on the corpus. Prints both times, the ratio, whether the
// parameter files match, and where the fast engine's time goes by stage; then how long a
// cancelled conversion takes to end (goal: at most 0.2 s). First of all, the headline figure:
// the synthetic 44.1 kHz 0.5 s cabinet converted several times, median wall and CPU time
// against the goal of 0.2 s wall, with the median time of each stage.
//
// lumetta-ir-bench [--no-reference] [--corpus-only] [--cancel-only] [--goal-only] [--runs N]
//                  [--threads N]
//
// The corpus is the folder $LUMETTA_IR_CORPUS, else the shared/ir-corpus beside the checkout;
// without it the synthetic IR alone is measured.

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/CWaveUtil.h"
#include "ir/CIrDataConv.h"
#include "ir/IrFit.h"
#include "ir/IrPrepare.h"
#include "ir/ReferenceIr.h"
#include "ir/SynthIr.h"

using namespace lumetta;
using Clock = std::chrono::steady_clock;

namespace {

double since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

std::string cabinetFile() {
    ir::FitParams p = ir::test::threeSections(85, 0.9, 1100, 1.3, -7, 4200, 0.8, -36);
    p.resMode = {1, 2, 0, 0};
    p.resF = {118, 260, 0, 0};
    p.resMs = {80, 35, 0, 0};
    p.resD = {-6, -14, 0, 0};
    const int64_t frames = 22050;
    std::vector<double> h = ir::test::modelImpulse(p, 44100.0, frames);
    // Some cone break-up: a few decaying partials that no model section describes.
    for (int64_t n = 0; n < frames; ++n) {
        const double t = static_cast<double>(n) / 44100.0;
        h[n] += 0.05 * std::exp(-t * 180.0) * std::sin(2 * M_PI * 2730.0 * t) +
                0.03 * std::exp(-t * 90.0) * std::sin(2 * M_PI * 1610.0 * t + 0.4);
    }
    double peak = 0;
    for (double v : h) peak = std::fmax(peak, std::fabs(v));
    std::vector<double> stereo;
    for (double v : h) {
        stereo.push_back(0.7 * v / peak);
        stereo.push_back(0.69 * v / peak);
    }
    return ir::test::writeTemp("bench-cabinet-44k1-24bit-stereo.wav",
                               ir::test::wavFile(stereo, 2, 44100, 24, false));
}

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

struct Run {
    double seconds = 0;
    double cpu = 0;
    std::vector<float> floats;
    ir::FitResult fit;
    std::map<uint32_t, double> stageSeconds;
};

Run fast(const std::string& path, int threads) {
    Run r;
    ir::CIrDataConv conv;
    conv.setThreads(threads);
    const auto start = Clock::now();
    const double cpu0 = cpuSeconds();
    if (conv.Convert(path) != 1) return r;
    std::atomic<bool> done{false};
    std::thread sampler([&] {
        auto last = Clock::now();
        while (!done.load()) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            const auto now = Clock::now();
            r.stageSeconds[conv.state().control.stage.load()] +=
                std::chrono::duration<double>(now - last).count();
            last = now;
        }
    });
    conv.IirCalc();
    r.seconds = since(start);
    r.cpu = cpuSeconds() - cpu0;
    done.store(true);
    sampler.join();
    ir::FitResult f;
    f.sections = conv.state().sections;
    f.resonators = conv.state().resonators;
    f.sparseCount = conv.state().sparseCount;
    f.sparse = conv.state().sparse;
    r.floats = ir::parameterFloats(f);
    return r;
}

Run reference(const std::string& path) {
    Run r;
    const auto start = Clock::now();
    const double cpu0 = cpuSeconds();
    audio::CWaveUtil wave;
    if (!wave.openWav(path)) return r;
    std::vector<double> all(static_cast<size_t>(wave.getSamples()) * wave.getCh());
    wave.loadWav(all.data(), static_cast<uint32_t>(all.size()));
    const auto prepared = ir::reference::prepare(all.data(), static_cast<uint32_t>(wave.getCh()),
                                                 wave.getSampleRate(), wave.getSamples());
    r.stageSeconds[2] = since(start);
    r.fit = ir::reference::fit(prepared.target, prepared.boost);
    r.seconds = since(start);
    r.cpu = cpuSeconds() - cpu0;
    r.floats = ir::parameterFloats(r.fit);
    return r;
}

void report(const std::string& name, const Run& f, const Run* ref) {
    std::printf("%-36s fast %7.3f s (cpu %.3f s)", name.c_str(), f.seconds, f.cpu);
    if (ref) {
        std::printf(
            "  reference %8.2f s (cpu %.2f s, prep %.2f s)  ratio %6.1fx (cpu %6.1fx)  file %s",
            ref->seconds, ref->cpu, ref->stageSeconds.count(2) ? ref->stageSeconds.at(2) : 0.0,
            ref->seconds / f.seconds, ref->cpu / f.cpu,
            f.floats == ref->floats ? "identical" : "DIFFERENT");
    }
    std::printf("\n    stages:");
    for (const auto& [stage, s] : f.stageSeconds)
        if (s >= 0.001) std::printf(" %u:%.3f", stage, s);
    std::printf("\n");
}

std::string corpusDir() {
    const char* named = std::getenv("LUMETTA_IR_CORPUS");
    return named && *named ? named : LUMETTA_IR_CORPUS_DEFAULT;
}

// A 0.3 s stereo 96 kHz cabinet: the longest preparation there is, so a cancel can land in it.
std::string cancelFile() {
    ir::FitParams p = ir::test::threeSections(90, 1.0, 900, 1.2, -6, 4000, 0.7, -30);
    auto h = ir::test::modelImpulse(p, 96000, 28800);
    std::vector<double> in;
    for (double v : h) {
        in.push_back(0.5 * v);
        in.push_back(0.05 * v);
    }
    return ir::test::writeTemp("bench-cancel-96k-stereo.wav",
                               ir::test::wavFile(in, 2, 96000, 24, false));
}

// Seconds from the cancel to the "aborted" outcome, the job started the way the "convert"
// command starts it and cancelled once its progress reaches `progressAtCancel`; -1 when it
// finished first or said something else.
double cancelLatency(const std::string& path, int progressAtCancel, int threads) {
    ir::CIrDataConv conv;
    conv.setThreads(threads);
    std::mutex lock;
    std::condition_variable arrived;
    nlohmann::json outcome;
    conv.setEventSink([&](const nlohmann::json& d) {
        std::lock_guard guard(lock);
        outcome = d;
        arrived.notify_all();
    });
    if (conv.Convert(path) != 1 || !conv.Calc(0)) return -1;
    while (conv.GetProgress() < progressAtCancel && conv.isRunning())
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    const auto asked = Clock::now();
    conv.SetCancel(1);
    std::unique_lock guard(lock);
    arrived.wait(guard, [&] { return !outcome.is_null(); });
    const double took = since(asked);
    guard.unlock();
    conv.wait();
    return outcome.value("cancel", "") == "aborted" ? took : -1;
}

void reportCancelLatency(int threads) {
    constexpr double kGoal = 0.2;
    const std::string path = cancelFile();
    std::printf("cancel latency (goal <= %.1f s), 5 runs each:\n", kGoal);
    double worst = 0;
    // At once, during the preparation, in the section searches, in the resonator searches.
    for (int progress : {0, 2, 10, 40, 70}) {
        std::vector<double> runs;
        for (int i = 0; i < 5; ++i) runs.push_back(cancelLatency(path, progress, threads));
        std::sort(runs.begin(), runs.end());
        if (runs.front() < 0) {
            std::printf("  at progress %2d: a run ended without \"aborted\"\n", progress);
            continue;
        }
        worst = std::max(worst, runs.back());
        std::printf("  at progress %2d: median %.4f s, worst %.4f s\n", progress, runs[2],
                    runs.back());
    }
    std::printf("cancel latency worst %.4f s: %s\n", worst,
                worst <= kGoal ? "within goal" : "OVER GOAL");
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

// The cabinet conversion `runs` times: median wall and CPU time against the goal, and the
// median of each stage's wall time.
void reportCabinetGoal(int runs, int threads) {
    constexpr double kGoal = 0.2;
    const std::string path = cabinetFile();
    std::vector<double> wall, cpu;
    std::map<uint32_t, std::vector<double>> stages;
    for (int i = 0; i < runs; ++i) {
        const Run r = fast(path, threads);
        wall.push_back(r.seconds);
        cpu.push_back(r.cpu);
        for (const auto& [stage, s] : r.stageSeconds) stages[stage].push_back(s);
    }
    const double w = median(wall);
    std::printf(
        "cabinet 44.1 kHz 0.5 s, threads %d, median of %d: wall %.3f s (goal < %.1f s: %s), "
        "cpu %.3f s\n    median stage wall:",
        threads, runs, w, kGoal, w < kGoal ? "within goal" : "OVER GOAL", median(cpu));
    for (auto& [stage, s] : stages) {
        // A stage the sampler missed in some runs took no time there.
        s.resize(static_cast<size_t>(runs), 0.0);
        std::printf(" %u:%.3f", stage, median(s));
    }
    std::printf("\n");
    std::fflush(stdout);
}

// The reference and the fast engine on the synthetic cabinet and the corpus.
void compareEngines(bool withReference, bool corpusOnly, int threads) {
    std::printf(
        "threads %d; stage times in seconds (1 resample, 2 target, 4-10 sections, "
        "11-14 resonators)\n",
        threads);
    std::vector<std::pair<std::string, std::string>> files;
    if (!corpusOnly) files.emplace_back("synthetic cabinet 44.1k 0.5 s 24-bit", cabinetFile());
    const std::string corpus = corpusDir();
    if (DIR* d = opendir(corpus.c_str())) {
        std::vector<std::string> names;
        while (dirent* e = readdir(d))
            if (std::strstr(e->d_name, ".wav")) names.emplace_back(e->d_name);
        closedir(d);
        std::sort(names.begin(), names.end());
        for (auto& n : names) files.emplace_back(n, corpus + "/" + n);
    }
    double fastTotal = 0, refTotal = 0, fastCpu = 0, refCpu = 0;
    for (auto& [name, path] : files) {
        const Run f = fast(path, threads);
        fastTotal += f.seconds;
        fastCpu += f.cpu;
        if (withReference) {
            const Run r = reference(path);
            refTotal += r.seconds;
            refCpu += r.cpu;
            report(name, f, &r);
        } else {
            report(name, f, nullptr);
        }
        std::fflush(stdout);
    }
    std::printf("total fast %.3f s (cpu %.3f s)", fastTotal, fastCpu);
    if (withReference)
        std::printf("  reference %.1f s (cpu %.1f s)  ratio %.1fx (cpu %.1fx)", refTotal, refCpu,
                    refTotal / fastTotal, refCpu / fastCpu);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    bool withReference = true, corpusOnly = false, cancelOnly = false, goalOnly = false;
    int threads = 2, runs = 9;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--no-reference")) withReference = false;
        if (!std::strcmp(argv[i], "--corpus-only")) corpusOnly = true;
        if (!std::strcmp(argv[i], "--cancel-only")) cancelOnly = true;
        if (!std::strcmp(argv[i], "--goal-only")) goalOnly = true;
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        if (!std::strcmp(argv[i], "--threads") && i + 1 < argc) threads = std::atoi(argv[++i]);
    }
    if (!cancelOnly) reportCabinetGoal(runs, threads);
    if (goalOnly) return 0;
    if (!cancelOnly) compareEngines(withReference, corpusOnly, threads);
    reportCancelLatency(threads);
    return 0;
}
