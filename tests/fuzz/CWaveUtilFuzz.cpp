// CWaveUtil and the "wavstat" facts on arbitrary file contents: a real file (in memory, through
// /proc/self/fd) goes through the same path as a file the page names.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "audio/CWaveUtil.h"
#include "audio/WavFileProc.h"

using namespace lumetta::audio;

namespace {

// One in-memory file reused for every input.
const std::string& filePath(int& fd) {
    static int descriptor = memfd_create("fuzz.wav", MFD_CLOEXEC);
    static const std::string path = "/proc/self/fd/" + std::to_string(descriptor);
    fd = descriptor;
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = (CWaveUtil::setLogSink([](const std::string&) {}), true);
    (void)quiet;
    int fd = -1;
    const std::string& path = filePath(fd);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(ftruncate(fd, 0) == 0);
    FUZZ_CHECK(pwrite(fd, data, size, 0) == ssize_t(size));

    CWaveUtil wave;
    if (wave.openWav(path)) {
        FUZZ_CHECK(wave.getCh() > 0);
        FUZZ_CHECK(wave.getDataSize() <= size);
        // Everything the file says it holds and one frame more, but no more than a few values
        // a byte: a header may claim far more frames than the file holds, and the reader must
        // allocate only what is there (the sanitizer's allocation limit watches that).
        const uint64_t count = std::min<uint64_t>(
            (uint64_t(wave.getSamples()) + 1) * uint64_t(wave.getCh()), 4 * uint64_t(size) + 64);
        std::vector<double> out(static_cast<size_t>(count), 0.0);
        const bool isFloat = (wave.getFormatFlags() & CWaveUtil::kFlagFloat) != 0;
        const uint64_t width = isFloat ? 4 : uint64_t(wave.getBitsPerSample()) / 8;
        const uint64_t dataSize = wave.getDataSize();
        if (wave.loadWav(out.data(), static_cast<uint32_t>(count))) {
            FUZZ_CHECK(width > 0);
            for (size_t i = 0; i < out.size(); ++i) {
                if (!isFloat) FUZZ_CHECK(out[i] >= -1.0 && out[i] < 1.0);
                // Past the data chunk's last whole value nothing is read.
                if (i >= dataSize / width) FUZZ_CHECK(out[i] == 0.0);
            }
        }
    }

    nlohmann::json dict = nlohmann::json::object();
    if (WavFileProc::wavstat(path, dict)) {
        FUZZ_CHECK(dict.contains("samples") && dict.contains("channels"));
        dict.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    return 0;
}
