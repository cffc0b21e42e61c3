// The WAV reader streams and the "wavstat" facts.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <nlohmann/json.hpp>

#include "audio/CWaveUtil.h"
#include "audio/FileStream.h"
#include "audio/RiffChunkStream.h"
#include "audio/WavFileProc.h"
#include "audio/WavStream.h"
#include "ir/IrCommands.h"
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

TEST(WavStat, DataBeforeFmtFails) {
    bool ok = true;
    stat(writeTemp("datafirst.wav", riffFile({data(16), fmtChunk(1, 1, 44100, 16)})), &ok);
    EXPECT_FALSE(ok);
}

TEST(WavStat, PartialFrameIsNotCounted) {
    auto d = stat(writeTemp("partial.wav", riffFile({fmtChunk(1, 2, 44100, 16), data(10)})));
    EXPECT_EQ(d["samples"], 2);
}

TEST(WavStat, BlockAlignmentZeroIsRefused) {
    bool ok = true;
    stat(writeTemp("align0.wav", riffFile({fmtChunk(1, 2, 44100, 16, 0xFFFF), data(8)})), &ok);
    EXPECT_TRUE(ok);  // a strange but nonzero alignment is read
    auto bytes = riffFile({fmtChunk(1, 2, 44100, 16), data(8)});
    bytes[20 + 12] = 0;  // block alignment field of "fmt "
    bytes[20 + 13] = 0;
    stat(writeTemp("align0b.wav", bytes), &ok);
    EXPECT_FALSE(ok);
}

TEST(WavStat, TruncatedFileCountsOnlyTheFramesThatAreThere) {
    auto bytes = riffFile({fmtChunk(1, 1, 44100, 16), data(2000)});
    bytes.resize(bytes.size() - 1000);  // sizes in the header now reach past the end
    bool ok = false;
    auto d = stat(writeTemp("trunc.wav", bytes), &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(d["samples"], 500);
}

TEST(WavStat, HeaderCutInsideADataHeaderFails) {
    auto bytes = riffFile({fmtChunk(1, 1, 44100, 16), data(20)});
    bytes.resize(12 + 24 + 4);  // RIFF, fmt, half of the data header
    bool ok = true;
    stat(writeTemp("cut.wav", bytes), &ok);
    EXPECT_FALSE(ok);
}

TEST(WavStat, NotRiffNotWaveShortFmtAndMissingFileFail) {
    bool ok = true;
    auto bytes = riffFile({fmtChunk(1, 1, 44100, 16), data(4)});
    auto notRiff = bytes;
    notRiff[0] = 'X';
    stat(writeTemp("notriff.wav", notRiff), &ok);
    EXPECT_FALSE(ok);
    auto notWave = bytes;
    notWave[8] = 'X';
    stat(writeTemp("notwave.wav", notWave), &ok);
    EXPECT_FALSE(ok);
    Chunk shortFmt = fmtChunk(1, 1, 44100, 16);
    shortFmt.data.resize(14);
    stat(writeTemp("shortfmt.wav", riffFile({shortFmt, data(4)})), &ok);
    EXPECT_FALSE(ok);
    stat(tempDir() + "does-not-exist.wav", &ok);
    EXPECT_FALSE(ok);
    stat(writeTemp("empty.wav", {}), &ok);
    EXPECT_FALSE(ok);
    stat(tempDir(), &ok);  // a directory
    EXPECT_FALSE(ok);
}

TEST(WavStat, CorpusFilesReportTheirKnownFacts) {
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
        auto d = stat(std::string(LUMETTA_IR_CORPUS) + "/" + k.name, &ok);
        ASSERT_TRUE(ok) << k.name;
        EXPECT_EQ(d["format"], k.format) << k.name;
        EXPECT_EQ(d["channels"], k.channels) << k.name;
        EXPECT_EQ(d["sampleRate"], k.rate) << k.name;
        EXPECT_EQ(d["bits"], k.bits) << k.name;
        EXPECT_EQ(d["samples"], k.frames) << k.name;
    }
}

TEST(RiffChunkStream, SeekReadAndCloseStayInsideTheChunk) {
    auto path =
        writeTemp("chunks.wav", riffFile({Chunk{"abcd", {1, 2, 3}}, Chunk{"efgh", {9, 8}}}));
    audio::FileStream file;
    ASSERT_TRUE(file.openRead(path.c_str()));
    EXPECT_FALSE(file.openRead(path.c_str()));  // already open
    audio::RiffChunkStream riff(file);
    ASSERT_TRUE(riff.openRead("RIFF"));
    ASSERT_TRUE(riff.skip(4));
    {
        audio::RiffChunkStream a(static_cast<audio::DataStream&>(riff));
        ASSERT_TRUE(a.openRead("abcd"));
        EXPECT_EQ(a.size(), 3u);
        uint8_t buf[8] = {};
        EXPECT_EQ(a.read(buf, 8), 3u);
        EXPECT_EQ(buf[2], 3);
        EXPECT_EQ(a.read(buf, 8), 0u);
        EXPECT_FALSE(a.seek(4));
        EXPECT_TRUE(a.seek(3));
        EXPECT_TRUE(a.skip(-2));
        EXPECT_EQ(a.position(), 1u);
        EXPECT_FALSE(a.skip(-2));
    }
    // Closing "abcd" left the parent at the next header, past the pad byte.
    audio::RiffChunkStream b(static_cast<audio::DataStream&>(riff));
    ASSERT_TRUE(b.openRead("efgh"));
    uint8_t two[2];
    EXPECT_EQ(b.read(two, 2), 2u);
    EXPECT_EQ(two[0], 9);
    audio::RiffChunkStream none(static_cast<audio::DataStream&>(riff));
    EXPECT_FALSE(none.openRead("zzzz"));
}

TEST(WavStatCommand, CopiesTheDictionaryAndAnswersFalseForBadInput) {
    auto path = writeTemp("cmd.wav", riffFile({fmtChunk(1, 2, 44100, 16), data(40)}));
    nlohmann::json result = nlohmann::json::object();
    EXPECT_TRUE(ir::wavstatCommand(nullptr, {{"path", path}}, result));
    EXPECT_EQ(result["samples"], 10);
    nlohmann::json none = nlohmann::json::object();
    EXPECT_FALSE(ir::wavstatCommand(nullptr, nlohmann::json(), none));
    EXPECT_FALSE(ir::wavstatCommand(nullptr, {{"path", tempDir() + "missing.wav"}}, none));
    EXPECT_TRUE(none.empty());
}

namespace {

// True when `open` answers within the hang guard; a call still waiting is released by opening
// the pipe's other end.
template <class Open>
bool answersAtOnce(const std::string& fifo, Open open, bool& result) {
    auto pending = std::async(std::launch::async, open);
    bool inTime = pending.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!inTime) {
        int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) ::close(writer);
    }
    result = pending.get();
    return inTime;
}

struct Fifo {
    Fifo() {
        char pattern[] = "/tmp/lumetta-fifo-XXXXXX";
        if (mkdtemp(pattern)) dir = pattern;
        path = dir + "/pipe";
        made = !dir.empty() && mkfifo(path.c_str(), 0600) == 0;
    }
    ~Fifo() {
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
    std::string dir, path;
    bool made = false;
};

}  // namespace

TEST(FileStream, APipeIsRefusedWithoutWaitingForAWriter) {
    Fifo fifo;
    ASSERT_TRUE(fifo.made);
    bool opened = true;
    EXPECT_TRUE(answersAtOnce(
        fifo.path, [&] { return audio::FileStream().openRead(fifo.path.c_str()); }, opened));
    EXPECT_FALSE(opened);
    nlohmann::json dict;
    bool stat = true;
    EXPECT_TRUE(answersAtOnce(
        fifo.path, [&] { return audio::WavFileProc::wavstat(fifo.path, dict); }, stat));
    EXPECT_FALSE(stat) << "wavstat";
    bool wav = true;
    EXPECT_TRUE(answersAtOnce(
        fifo.path, [&] { return audio::CWaveUtil().openWav(fifo.path); }, wav));
    EXPECT_FALSE(wav) << "the conversion's reader";
}

TEST(FileStream, ADeviceIsRefused) {
    audio::FileStream file;
    EXPECT_FALSE(file.openRead("/dev/zero"));
    nlohmann::json dict;
    EXPECT_FALSE(audio::WavFileProc::wavstat("/dev/zero", dict));
}
