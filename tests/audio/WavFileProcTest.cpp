// The "wavstat" facts of a WAV file.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "audio/CWaveUtil.h"
#include "audio/WavFileProc.h"
#include "ir/IrCorpus.h"
#include "ir/SynthIr.h"

using namespace lumetta;
using namespace lumetta::ir::test;

namespace {

nlohmann::json stat(const std::string& path, bool* ok = nullptr) {
    nlohmann::json d = nlohmann::json::object();
    const bool r = audio::WavFileProc::wavstat(path, d);
    if (ok) *ok = r;
    return d;
}

Chunk data(size_t bytes) {
    return Chunk{"data", std::vector<uint8_t>(bytes, 0x11)};
}

}  // namespace

TEST(WavStat, StereoSixteenBitSecondHasNoTempo) {
    auto path = writeTemp("s16.wav", riffFile({fmtChunk(1, 2, 44100, 16), data(176400)}));
    bool ok = false;
    auto d = stat(path, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(d["format"], 1);
    EXPECT_EQ(d["channels"], 2);
    EXPECT_EQ(d["bits"], 16);
    EXPECT_EQ(d["sampleRate"], 44100);
    EXPECT_EQ(d["samples"], 44100);
    EXPECT_FALSE(d.contains("tempo"));
    EXPECT_FALSE(d.contains("beatCount"));
}

TEST(WavStat, ChunksAroundFmtAndOddChunkWithPadByteAreWalked) {
    Chunk list{"LIST", std::vector<uint8_t>(13, 'x')};  // odd: one pad byte follows
    Chunk junk{"junk", std::vector<uint8_t>(7, 'y')};
    auto path = writeTemp("walk.wav", riffFile({list, fmtChunk(1, 1, 48000, 24), junk, data(300)}));
    bool ok = false;
    auto d = stat(path, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(d["samples"], 100);
    EXPECT_EQ(d["bits"], 24);
}

TEST(WavStat, AcidChunkAfterDataGivesTempoKeys) {
    auto path = writeTemp(
        "acid.wav", riffFile({fmtChunk(1, 2, 44100, 16), data(40), acidChunk(16, 4, 3, 120.5f)}));
    auto d = stat(path);
    ASSERT_TRUE(d.contains("tempo"));
    EXPECT_FLOAT_EQ(d["tempo"].get<float>(), 120.5f);
    EXPECT_EQ(d["denominator"], 4);
    EXPECT_EQ(d["numerator"], 3);
    EXPECT_EQ(d["beatCount"], 16);
    EXPECT_EQ(d["samples"], 10);
}

TEST(WavStat, NegativeTempoGivesNoTempoKeys) {
    auto path = writeTemp(
        "acidneg.wav", riffFile({fmtChunk(1, 1, 44100, 16), acidChunk(4, 4, 4, -1.0f), data(8)}));
    bool ok = false;
    auto d = stat(path, &ok);
    ASSERT_TRUE(ok);
    EXPECT_FALSE(d.contains("tempo"));
    EXPECT_FALSE(d.contains("numerator"));
}

TEST(WavStat, BeatCountKeepsTheLowSixteenBits) {
    auto path = writeTemp(
        "beats.wav", riffFile({fmtChunk(1, 1, 44100, 16), data(8), acidChunk(65537, 8, 6, 90.0f)}));
    EXPECT_EQ(stat(path)["beatCount"], 1);
}

TEST(WavStat, ShortAcidChunkIsNoFailure) {
    Chunk acid = acidChunk(1, 4, 4, 100.0f);
    acid.data.resize(20);
    bool ok = false;
    auto d =
        stat(writeTemp("acidshort.wav", riffFile({fmtChunk(1, 1, 44100, 16), data(8), acid})), &ok);
    EXPECT_TRUE(ok);
    EXPECT_FALSE(d.contains("tempo"));
}

TEST(WavStat, ExtensibleFormatReportsItsStoredTag) {
    auto path = writeTemp("ext.wav", riffFile({fmtChunk(0xFFFE, 2, 48000, 24, 0, 1), data(60)}));
    auto d = stat(path);
    EXPECT_EQ(d["format"], 65534);
    EXPECT_EQ(d["samples"], 10);
}

TEST(WavStat, MalformedFilesAreRefused) {
    const auto good = riffFile({fmtChunk(1, 1, 44100, 16), data(20)});
    auto notRiff = good, notWave = good, alignZero = good, cutInData = good;
    notRiff[0] = 'X';
    notWave[8] = 'X';
    alignZero[20 + 12] = alignZero[20 + 13] = 0;  // block alignment field of "fmt "
    cutInData.resize(12 + 24 + 4);                // RIFF, fmt, half of the data header
    Chunk shortFmt = fmtChunk(1, 1, 44100, 16);
    shortFmt.data.resize(14);
    const std::pair<const char*, std::vector<uint8_t>> files[] = {
        {"datafirst.wav", riffFile({data(16), fmtChunk(1, 1, 44100, 16)})},
        {"align0.wav", alignZero},
        {"cut.wav", cutInData},
        {"notriff.wav", notRiff},
        {"notwave.wav", notWave},
        {"shortfmt.wav", riffFile({shortFmt, data(4)})},
        {"empty.wav", {}},
    };
    for (const auto& [name, bytes] : files) {
        bool ok = true;
        stat(writeTemp(name, bytes), &ok);
        EXPECT_FALSE(ok) << name;
    }
    for (const std::string& path : {tempDir() + "does-not-exist.wav", tempDir()}) {
        bool ok = true;
        stat(path, &ok);
        EXPECT_FALSE(ok) << path;
    }
    bool ok = false;
    stat(writeTemp("align.wav", riffFile({fmtChunk(1, 2, 44100, 16, 0xFFFF), data(8)})), &ok);
    EXPECT_TRUE(ok) << "a strange but nonzero alignment is read";
}

TEST(WavStat, PartialFrameIsNotCounted) {
    auto d = stat(writeTemp("partial.wav", riffFile({fmtChunk(1, 2, 44100, 16), data(10)})));
    EXPECT_EQ(d["samples"], 2);
}

TEST(WavStat, TruncatedFileCountsOnlyTheFramesThatAreThere) {
    auto bytes = riffFile({fmtChunk(1, 1, 44100, 16), data(2000)});
    bytes.resize(bytes.size() - 1000);  // sizes in the header now reach past the end
    bool ok = false;
    auto d = stat(writeTemp("trunc.wav", bytes), &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(d["samples"], 500);
}

TEST(WavStat, EveryKindOfCabinetFileReportsItsFactsAndLoadsItsSamples) {
    for (const IrShape& shape : irShapes()) {
        SCOPED_TRACE(shape.name);
        const std::vector<double> values = cabinetSamples(shape);
        const auto path = writeTemp(std::string(shape.name) + ".wav", shapedWavFile(shape, values));
        bool ok = false;
        auto d = stat(path, &ok);
        ASSERT_TRUE(ok);
        EXPECT_EQ(d["format"], shape.tag);
        EXPECT_EQ(d["channels"], shape.channels);
        EXPECT_EQ(d["sampleRate"], shape.rate);
        EXPECT_EQ(d["bits"], shape.bits);
        EXPECT_EQ(d["samples"], shape.frames);

        audio::CWaveUtil wave;
        ASSERT_TRUE(wave.openWav(path));
        EXPECT_EQ(wave.getSamples(), static_cast<uint32_t>(shape.frames));
        std::vector<double> loaded(values.size(), 42.0);
        ASSERT_TRUE(wave.loadWav(loaded.data(), static_cast<uint32_t>(loaded.size())));
        std::vector<double> expected = values;
        if (shape.tag == 3)
            for (double& v : expected) v = static_cast<float>(v);
        else
            expected = quantise(values, shape.bits);
        size_t wrong = 0;
        for (size_t i = 0; i < expected.size(); ++i) wrong += loaded[i] != expected[i];
        EXPECT_EQ(wrong, 0u) << "of " << expected.size() << " values";
    }
}

// The real files these shapes were taken from, when their folder is here.
class CorpusWavStat : public IrCorpusTest {};

TEST_F(CorpusWavStat, FilesReportTheirKnownFacts) {
    struct Known {
        const char* name;
        int format, channels, rate, bits, frames;
    };
    const Known known[] = {
        {"marshall-1960.wav", 1, 1, 44100, 16, 5063},
        {"marshall-4-impact.wav", 1, 1, 44100, 24, 2382},
        {"fender-champ-axis-stereo.wav", 3, 2, 44100, 32, 2048},
        {"vox-custom-bright-m930.wav", 3, 2, 44100, 32, 1612},
        {"ampeg-cab.wav", 1, 1, 48000, 24, 39970},
        {"celestion-cab.wav", 1, 1, 48000, 24, 24000},
        {"eminence-cab.wav", 1, 1, 44100, 24, 8819},
        {"mesa-cab.wav", 3, 1, 48000, 32, 9056},
    };
    for (const Known& k : known) {
        bool ok = false;
        auto d = stat(path(k.name), &ok);
        ASSERT_TRUE(ok) << k.name;
        EXPECT_EQ(d["format"], k.format) << k.name;
        EXPECT_EQ(d["channels"], k.channels) << k.name;
        EXPECT_EQ(d["sampleRate"], k.rate) << k.name;
        EXPECT_EQ(d["bits"], k.bits) << k.name;
        EXPECT_EQ(d["samples"], k.frames) << k.name;
    }
}
