// The RIFF/WAV reader on arbitrary file contents held in memory: the header parse, the "acid"
// chunk, and reading, seeking and skipping inside the "data" chunk never leave the file, and
// the data chunk's bytes are the file's own bytes.

#include <algorithm>
#include <cstring>
#include <vector>

#include "FuzzInput.h"
#include "audio/RiffChunkStream.h"
#include "audio/WavStream.h"

using namespace lumetta::audio;

namespace {

// A file in memory; its reads are checked against its bounds by the sanitizers.
class MemoryStream final : public DataStream {
  public:
    explicit MemoryStream(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    uint64_t size() const override { return bytes_.size(); }
    uint64_t position() const override { return position_; }
    bool seek(uint64_t offset) override {
        if (offset > bytes_.size()) return false;
        position_ = offset;
        return true;
    }
    bool skip(int64_t distance) override {
        if (distance < 0 && uint64_t(-(distance + 1)) + 1 > position_) return false;
        return seek(position_ + uint64_t(distance));
    }
    uint64_t read(void* buffer, uint64_t count) override {
        uint64_t n = std::min<uint64_t>(count, bytes_.size() - position_);
        if (n > 0) std::memcpy(buffer, bytes_.data() + position_, n);
        position_ += n;
        return n;
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

  private:
    std::vector<uint8_t> bytes_;
    uint64_t position_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    lumetta::fuzz::FuzzInput input(data, size);
    const uint8_t moves = input.byte();
    std::string_view file = input.rest();
    MemoryStream stream(std::vector<uint8_t>(file.begin(), file.end()));

    {
        WavStream wav(stream);
        if (wav.openRead()) {
            FUZZ_CHECK(!wav.openRead());  // a second open is refused
            FUZZ_CHECK(wav.size() <= stream.size());
            if (wav.format().blockAlign != 0)
                FUZZ_CHECK(wav.frameCount() * wav.format().blockAlign <= wav.size());
            AcidInfo acid;
            wav.readAcid(acid);

            // Read the data in pieces of a drawn size; the bytes match the file's.
            std::vector<uint8_t> got(static_cast<size_t>(wav.size()));
            const size_t piece = 1 + moves % 61;
            uint64_t at = 0;
            FUZZ_CHECK(wav.seek(0));
            while (at < wav.size()) {
                uint64_t n = wav.read(got.data() + at, std::min<uint64_t>(piece, wav.size() - at));
                FUZZ_CHECK(n > 0);
                at += n;
                FUZZ_CHECK(wav.position() == at);
            }
            FUZZ_CHECK(wav.read(got.data(), 1) == 0 || got.empty());
            // The data chunk is a window of the file: find it by its bytes' position.
            if (!got.empty()) {
                auto where = std::search(stream.bytes().begin(), stream.bytes().end(), got.begin(),
                                         got.end());
                FUZZ_CHECK(where != stream.bytes().end());
            }
            // Seeks and skips stay inside the chunk.
            FUZZ_CHECK(!wav.seek(wav.size() + 1));
            FUZZ_CHECK(wav.seek(wav.size() / 2));
            FUZZ_CHECK(!wav.skip(-int64_t(wav.size() / 2) - 1));
            FUZZ_CHECK(wav.skip(-int64_t(wav.size() / 2)));
            FUZZ_CHECK(wav.position() == 0);
            FUZZ_CHECK(!wav.skip(INT64_MIN));
        }
    }

    // The chunk walker alone, for every id the reader asks for.
    for (const char* id : {"RIFF", "fmt ", "data", "acid", "LIST"}) {
        stream.seek(moves % (stream.size() + 1));
        RiffChunkStream chunk(stream);
        if (chunk.openRead(id)) {
            FUZZ_CHECK(chunk.start() + chunk.size() <= stream.size());
            uint8_t buffer[64];
            while (chunk.read(buffer, sizeof buffer) > 0) {
            }
            FUZZ_CHECK(chunk.position() == chunk.size());
        }
    }
    return 0;
}
