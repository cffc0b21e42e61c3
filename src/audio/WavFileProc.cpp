#include "audio/WavFileProc.h"

#include "audio/FileStream.h"
#include "audio/WavStream.h"

namespace lumetta::audio {

namespace {
struct WavStat {
    uint16_t format = 0;
    uint16_t channels = 0;
    uint16_t bits = 0;
    uint32_t sampleRate = 0;
    uint32_t samples = 0;
    float tempo = -1.0f;
    uint16_t denominator = 0;
    uint16_t numerator = 0;
    uint32_t beats = 0;
};
}  // namespace

bool WavFileProc::wavstat(const std::string& path, nlohmann::json& dict) {
    FileStream file;
    if (!file.openRead(path.c_str())) return false;
    WavStat stat;
    {
        WavStream wav(file);
        if (!wav.openRead()) return false;
        // A frame size of 0 makes the frame count meaningless; such a file is refused.
        if (wav.format().blockAlign == 0) return false;
        stat.format = wav.format().formatTag;
        stat.channels = wav.format().channels;
        stat.bits = wav.format().bitsPerSample;
        stat.sampleRate = wav.format().samplesPerSec;
        stat.samples = static_cast<uint32_t>(wav.frameCount());
        AcidInfo acid;
        if (wav.readAcid(acid)) {
            stat.tempo = acid.tempo;
            stat.denominator = acid.denominator;
            stat.numerator = acid.numerator;
            stat.beats = acid.beats;
        }
    }
    dict["format"] = stat.format;
    dict["channels"] = stat.channels;
    dict["bits"] = stat.bits;
    dict["sampleRate"] = stat.sampleRate;
    dict["samples"] = stat.samples;
    if (stat.tempo >= 0.0f) {
        dict["tempo"] = stat.tempo;
        dict["denominator"] = stat.denominator;
        dict["numerator"] = stat.numerator;
        dict["beatCount"] = static_cast<uint16_t>(stat.beats & 0xFFFFu);
    }
    file.close();
    return true;
}

}  // namespace lumetta::audio
