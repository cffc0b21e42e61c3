// Writes what is generated from the bridge reference table: the reference page, the typed
// block of lumetta.d.ts, or the JSON list. `--update DIR` rewrites the checked-in copies in
// DIR (resources/html).

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "modules/Reference.h"

namespace {

constexpr const char* kBegin = "// BEGIN GENERATED from the bridge reference table\n";
constexpr const char* kEnd = "// END GENERATED\n";

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

int update(const std::string& dir) {
    using namespace lumetta::modules::reference;
    std::string dtsPath = dir + "/lumetta.d.ts";
    std::ifstream in(dtsPath, std::ios::binary);
    std::ostringstream current;
    current << in.rdbuf();
    std::string dts = current.str();
    auto begin = dts.find(kBegin), end = dts.find(kEnd);
    if (begin == std::string::npos || end == std::string::npos || end < begin) {
        std::cerr << dtsPath << ": no generated block\n";
        return 1;
    }
    begin += std::strlen(kBegin);
    dts.replace(begin, end - begin, typeScript());
    if (!writeFile(dtsPath, dts) || !writeFile(dir + "/reference.html", html())) {
        std::cerr << "cannot write into " << dir << "\n";
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace lumetta::modules::reference;
    if (argc == 2 && std::strcmp(argv[1], "--html") == 0) {
        std::fputs(html().c_str(), stdout);
    } else if (argc == 2 && std::strcmp(argv[1], "--typescript") == 0) {
        std::fputs(typeScript().c_str(), stdout);
    } else if (argc == 2 && std::strcmp(argv[1], "--json") == 0) {
        std::puts(json().c_str());
    } else if (argc == 3 && std::strcmp(argv[1], "--update") == 0) {
        return update(argv[2]);
    } else {
        std::fprintf(stderr, "usage: %s --html | --typescript | --json | --update DIR\n", argv[0]);
        return 2;
    }
    return 0;
}
