// lumetta-wavstat FILE...: the facts the "wavstat" command reports, as JSON.

#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "audio/WavFileProc.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: lumetta-wavstat FILE...\n");
        return 2;
    }
    int status = 0;
    nlohmann::json all = nlohmann::json::object();
    for (int i = 1; i < argc; ++i) {
        nlohmann::json dict = nlohmann::json::object();
        if (!lumetta::audio::WavFileProc::wavstat(argv[i], dict)) {
            std::fprintf(stderr, "lumetta-wavstat: %s: not a readable WAV file\n", argv[i]);
            status = 1;
            dict = nullptr;
        }
        all[argv[i]] = dict;
    }
    // One file: its dictionary; several: one dictionary per path.
    std::cout << (argc == 2 ? all[argv[1]] : all).dump(2) << "\n";
    return status;
}
