// lumetta-irconv IN.wav... [-o OUT] [--json] [--threads N]: converts impulse responses into the
// instrument's parameter file from the command line.

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "ir/CIrDataConv.h"
#include "ir/IrModel.h"

namespace {

using lumetta::ir::CIrDataConv;

std::string defaultOutput(const std::string& in) {
    const size_t slash = in.rfind('/');
    const size_t dot = in.rfind('.');
    std::string stem = (dot != std::string::npos && (slash == std::string::npos || dot > slash))
                           ? in.substr(0, dot)
                           : in;
    return stem + ".prm";
}

std::string baseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

nlohmann::json summary(const std::string& in, const std::string& out, const CIrDataConv& conv,
                       double seconds) {
    const auto& s = conv.state();
    const auto& p = s.params;
    nlohmann::json j;
    j["input"] = in;
    j["output"] = out;
    j["seconds"] = seconds;
    j["error"] = s.bestError;
    j["highPass"] = p.hpOn ? nlohmann::json{{"f", p.hpF}, {"q", p.hpQ}} : nlohmann::json(nullptr);
    j["peak"] = p.pkOn ? nlohmann::json{{"f", p.pkF}, {"q", p.pkQ}, {"gain", p.pkD}}
                       : nlohmann::json(nullptr);
    j["shelf"] = p.hsOn ? nlohmann::json{{"f", p.hsF}, {"q", p.hsQ}, {"gain", p.hsD}}
                        : nlohmann::json(nullptr);
    nlohmann::json res = nlohmann::json::array();
    for (int i = 0; i < 4; ++i) {
        if (p.resMode[i] == 0) {
            res.push_back(nullptr);
            continue;
        }
        res.push_back({{"sign", p.resMode[i] == 1 ? "+" : "-"},
                       {"f", p.resF[i]},
                       {"decayMs", p.resMs[i]},
                       {"gain", p.resD[i]}});
    }
    j["resonators"] = res;
    nlohmann::json taps = nlohmann::json::array();
    for (int i = 0; i < s.sparseCount && i < static_cast<int>(s.sparse.size()); ++i)
        if (s.sparse[static_cast<size_t>(i)] != 0.0)
            taps.push_back({{"index", i}, {"value", s.sparse[static_cast<size_t>(i)]}});
    j["taps"] = taps;
    return j;
}

void printText(const nlohmann::json& j) {
    std::printf("%s -> %s (%.3f s, error %.6g)\n", j["input"].get<std::string>().c_str(),
                j["output"].get<std::string>().c_str(), j["seconds"].get<double>(),
                j["error"].get<double>());
    auto sec = [](const char* name, const nlohmann::json& v) {
        if (v.is_null()) {
            std::printf("  %-10s off\n", name);
        } else if (v.contains("gain")) {
            std::printf("  %-10s f %7.1f Hz  Q %.2f  gain %+.0f\n", name, v["f"].get<double>(),
                        v["q"].get<double>(), v["gain"].get<double>());
        } else {
            std::printf("  %-10s f %7.1f Hz  Q %.2f\n", name, v["f"].get<double>(),
                        v["q"].get<double>());
        }
    };
    sec("high-pass", j["highPass"]);
    sec("peak", j["peak"]);
    sec("shelf", j["shelf"]);
    int i = 0;
    for (const auto& r : j["resonators"]) {
        if (r.is_null())
            std::printf("  resonator %d off\n", i);
        else
            std::printf("  resonator %d %s f %5.0f Hz  decay %3.0f ms  gain %+.0f\n", i,
                        r["sign"].get<std::string>().c_str(), r["f"].get<double>(),
                        r["decayMs"].get<double>(), r["gain"].get<double>());
        ++i;
    }
    std::printf("  taps       %zu\n", j["taps"].size());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> inputs;
    std::string output;
    bool json = false;
    int threads = 2;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
            output = argv[++i];
        } else if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
            threads = std::atoi(argv[++i]);
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            std::fprintf(stderr, "lumetta-irconv: unknown option %s\n", argv[i]);
            return 2;
        } else {
            inputs.emplace_back(argv[i]);
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr,
                     "usage: lumetta-irconv IN.wav... [-o OUT] [--json] [--threads N]\n"
                     "  -o OUT  output file for one input, output directory for several\n");
        return 2;
    }
    const bool bar = isatty(STDERR_FILENO) != 0;
    CIrDataConv conv;
    conv.setThreads(threads);
    int status = 0;
    nlohmann::json all = nlohmann::json::array();
    for (const std::string& in : inputs) {
        std::string out = defaultOutput(in);
        if (!output.empty())
            out = inputs.size() == 1
                      ? output
                      : output + (output.back() == '/' ? "" : "/") + baseName(defaultOutput(in));
        const int32_t loaded = conv.Convert(in);
        if (loaded != 1) {
            std::fprintf(stderr,
                         "lumetta-irconv: %s: cannot read it as a mono or stereo PCM or float WAV "
                         "file\n",
                         in.c_str());
            status = 1;
            continue;
        }
        const auto start = std::chrono::steady_clock::now();
        std::atomic<bool> finished{false};
        std::thread work([&] {
            conv.IirCalc();
            finished.store(true);
        });
        if (bar) {
            // The job's own progress figure, polled like the page does.
            while (true) {
                const int p = conv.GetProgress();
                std::fprintf(stderr, "\r%-40s [%-50s] %3d%%", baseName(in).substr(0, 40).c_str(),
                             std::string(static_cast<size_t>(p / 2), '#').c_str(), p);
                if (finished.load()) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        work.join();
        if (bar)
            std::fprintf(stderr, "\r%-40s [%-50s] 100%%\n", baseName(in).substr(0, 40).c_str(),
                         std::string(50, '#').c_str());
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!conv.SavePrm(out)) {
            std::fprintf(stderr, "lumetta-irconv: %s: cannot write the parameter file\n",
                         out.c_str());
            status = 1;
            continue;
        }
        nlohmann::json j = summary(in, out, conv, seconds);
        if (json)
            all.push_back(j);
        else
            printText(j);
    }
    if (json) std::cout << (all.size() == 1 ? all[0] : all).dump(2) << "\n";
    return status;
}
