// CWaveUtil: formats, conversions at the extremes, refusals and its log lines.

#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "audio/CWaveUtil.h"
#include "ir/SynthIr.h"

using namespace lumetta;
using namespace lumetta::ir::test;

namespace {

struct LogCapture {
    std::vector<std::string> lines;
    LogCapture() {
        audio::CWaveUtil::setLogSink([this](const std::string& s) { lines.push_back(s); });
    }
    ~LogCapture() { audio::CWaveUtil::setLogSink(nullptr); }
};

std::vector<double> load(const std::vector<uint8_t>& bytes, const char* name, uint32_t count,
                         bool* ok = nullptr) {
    audio::CWaveUtil w;
    std::vector<double> out(count, 42.0);
    bool r = w.openWav(writeTemp(name, bytes)) && w.loadWav(out.data(), count);
    if (ok) *ok = r;
    return out;
}

std::vector<uint8_t> raw(uint16_t tag, uint16_t ch, uint16_t bits, std::vector<uint8_t> samples,
                         uint16_t sub = 0) {
    return riffFile({fmtChunk(tag, ch, 44100, bits, 0, sub), Chunk{"data", std::move(samples)}});
}

}  // namespace

// Each sample format at its extremes: 8-bit maps 0 to -1 and its top below 1, 24-bit takes
// the sign from its third byte, float is widened unchanged.
TEST(CWaveUtil, EachFormatConvertsItsExtremesExactly) {
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        std::vector<double> values;
    } cases[] = {
        {"u8.wav", raw(1, 1, 8, {0, 128, 255}), {-1.0, 0.0, 0.9921875}},
        {"s16.wav",
         raw(1, 1, 16, {0x00, 0x80, 0xFF, 0x7F, 0xFF, 0xFF}),
         {-1.0, 0.999969482421875, -3.0517578125e-05}},
        {"s24.wav",
         raw(1, 1, 24, {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF}),
         {-1.0, 8388607 * 1.1920928955078125e-07, -1.1920928955078125e-07}},
        {"s32.wav",
         raw(1, 1, 32, {0, 0, 0, 0x80, 0xFF, 0xFF, 0xFF, 0x7F}),
         {-1.0, static_cast<double>(INT_MAX) * 4.656612873077393e-10}},
        {"f32.wav",
         wavFile({0.25, -1.5, 1e-30}, 1, 48000, 32, true),
         {0.25, -1.5, static_cast<double>(1e-30f)}},
    };
    for (const auto& c : cases) {
        bool ok = false;
        EXPECT_EQ(load(c.bytes, c.name, static_cast<uint32_t>(c.values.size()), &ok), c.values)
            << c.name;
        EXPECT_TRUE(ok) << c.name;
    }
}

TEST(CWaveUtil, ExtensibleIsReadBySubFormat) {
    std::vector<double> in = {0.5, -0.5, 0.25, -0.25};
    bool ok = false;
    auto pcm = load(wavFile(in, 2, 48000, 24, false, true), "ext24.wav", 4, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(pcm, in);
    auto fl = load(wavFile(in, 2, 48000, 32, true, true), "extf.wav", 4, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(fl, in);
    audio::CWaveUtil w;
    ASSERT_TRUE(w.openWav(writeTemp("ext24b.wav", wavFile(in, 2, 48000, 24, false, true))));
    EXPECT_EQ(w.getCh(), 2);
    EXPECT_EQ(w.getBitsPerSample(), 24);
    EXPECT_EQ(w.getSamples(), 2u);
    EXPECT_EQ(w.getSampleRate(), 48000);
}

TEST(CWaveUtil, SixtyFourBitFloatIsRefused) {
    audio::CWaveUtil w;
    EXPECT_FALSE(w.openWav(writeTemp("f64.wav", wavFile({0.5, 0.25}, 1, 48000, 64, true))));
}

TEST(CWaveUtil, OtherFormatsAndBlockAlignmentZeroAreRefusedWithTheirLogLines) {
    LogCapture log;
    audio::CWaveUtil w;
    EXPECT_FALSE(w.openWav(writeTemp("alaw.wav", raw(6, 1, 8, {1, 2}))));
    EXPECT_TRUE(log.lines.empty());  // readable, just not PCM
    EXPECT_FALSE(w.openWav(writeTemp("junk.wav", {'n', 'o', 'p', 'e'})));
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0], "AudioFileGetProperty failed");
    auto bytes = raw(1, 1, 16, {1, 2, 3, 4});
    bytes[32] = bytes[33] = 0;
    EXPECT_FALSE(w.openWav(writeTemp("align0.wav", bytes)));
    EXPECT_EQ(log.lines.back(), "AudioFileGetProperty failed");
    ASSERT_TRUE(w.openWav(writeTemp(
        "s12.wav", riffFile({fmtChunk(1, 1, 44100, 12, 2), Chunk{"data", {1, 2, 3, 4}}}))));
    double out[2];
    EXPECT_FALSE(w.loadWav(out, 2));
    EXPECT_EQ(log.lines.back(), "Unknown format");
}

TEST(CWaveUtil, TruncatedFileLoadsWhatIsThereAndZeroesTheRest) {
    auto bytes = raw(1, 1, 16, std::vector<uint8_t>(200, 0x40));
    bytes.resize(bytes.size() - 100);
    audio::CWaveUtil w;
    ASSERT_TRUE(w.openWav(writeTemp("trunc16.wav", bytes)));
    EXPECT_EQ(w.getSamples(), 50u);
    std::vector<double> out(100, 7.0);
    ASSERT_TRUE(w.loadWav(out.data(), 100));
    EXPECT_EQ(out[49], 0x4040 * 3.0517578125e-05);
    EXPECT_EQ(out[50], 0.0);
    EXPECT_EQ(out[99], 0.0);
}

TEST(CWaveUtil, LoadsOnlyTheValuesAskedFor) {
    std::vector<double> in(1000);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<double>(i) / 1024.0;
    audio::CWaveUtil w;
    ASSERT_TRUE(w.openWav(writeTemp("first.wav", wavFile(in, 2, 44100, 32, true))));
    EXPECT_EQ(w.getSamples(), 500u);
    std::vector<double> out(10);
    ASSERT_TRUE(w.loadWav(out.data(), 10));
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(out[i], in[i]);
}
