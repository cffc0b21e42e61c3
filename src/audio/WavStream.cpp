#include "audio/WavStream.h"

#include <cstring>

namespace lumetta::audio {

namespace {
uint16_t le16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
}  // namespace

WavStream::~WavStream() {
    data_.reset();
    riff_.reset();
}

bool WavStream::openRead() {
    if (riff_) return false;
    riff_ = std::make_unique<RiffChunkStream>(*file_);
    if (!riff_->openRead("RIFF")) return false;
    unsigned char form[4];
    if (riff_->read(form, 4) != 4 || std::memcmp(form, "WAVE", 4) != 0) return false;
    {
        RiffChunkStream fmt(static_cast<DataStream&>(*riff_));
        if (!fmt.openRead("fmt ")) return false;
        unsigned char raw[40] = {};
        uint64_t got = fmt.read(raw, sizeof raw);
        if (got < 16) return false;
        format_.formatTag = le16(raw);
        format_.channels = le16(raw + 2);
        format_.samplesPerSec = le32(raw + 4);
        format_.avgBytesPerSec = le32(raw + 8);
        format_.blockAlign = le16(raw + 12);
        format_.bitsPerSample = le16(raw + 14);
        // WAVE_FORMAT_EXTENSIBLE carries the real format in the first two bytes of its GUID.
        if (format_.formatTag == 0xFFFE && got >= 26) subFormat_ = le16(raw + 24);
    }
    data_ = std::make_unique<RiffChunkStream>(static_cast<DataStream&>(*riff_));
    return data_->openRead("data");
}

uint64_t WavStream::frameCount() const {
    if (!data_ || format_.blockAlign == 0) return 0;
    return data_->size() / format_.blockAlign;
}

bool WavStream::readAcid(AcidInfo& out) {
    if (!riff_ || riff_->mode() == 0) return false;
    uint64_t remembered = riff_->position();
    bool ok = false;
    if (riff_->seek(4)) {
        RiffChunkStream acid(static_cast<DataStream&>(*riff_));
        unsigned char raw[24];
        if (acid.openRead("acid") && acid.read(raw, 24) == 24) {
            out.beats = le32(raw + 12);
            out.denominator = le16(raw + 16);
            out.numerator = le16(raw + 18);
            uint32_t bits = le32(raw + 20);
            std::memcpy(&out.tempo, &bits, 4);
            ok = true;
        }
    }
    riff_->seek(remembered);
    if (data_) data_->seek(data_->position());
    return ok;
}

}  // namespace lumetta::audio
