#pragma once

// Runs the openssl command-line tool on bytes, so that crypto results are checked against an
// implementation that shares nothing with ours but the algorithm.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace lumetta::test {

inline bool opensslAvailable() {
    return std::system("openssl version >/dev/null 2>&1") == 0;
}

/// A private scratch directory removed with everything in it.
class ScratchDir {
  public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "lumetta-net-XXXXXX");
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

inline void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// `openssl ARGS -in INPUT -out OUTPUT` (or the `dgst` form, which takes the input last);
/// nullopt when the tool fails.
inline std::optional<std::vector<uint8_t>> openssl(const std::string& args,
                                                   const std::vector<uint8_t>& input) {
    ScratchDir dir;
    writeBytes(dir.file("in"), input);
    std::string command;
    if (args.rfind("dgst", 0) == 0)
        command = "openssl " + args + " -out '" + dir.file("out") + "' '" + dir.file("in") + "'";
    else
        command =
            "openssl " + args + " -in '" + dir.file("in") + "' -out '" + dir.file("out") + "'";
    command += " 2>/dev/null";
    if (std::system(command.c_str()) != 0) return std::nullopt;
    return readBytes(dir.file("out"));
}

}  // namespace lumetta::test
