#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "audio/AudioConverter.h"
#include "audio/AudioTestSupport.h"
#include "audio/ffmpeg/FfmpegAudioFiles.h"

using namespace lumetta;
using audio::AudioConverter;
using audio::AudioStreamDescription;

namespace {

class AudioConverterTest : public ::testing::Test {
  protected:
    test::TempDir dir;
    audio::FfmpegAudioFiles files;
    AudioConverter converter{files,
                             [this]() -> std::optional<std::string> { return dir.path() + "/"; }};

    static AudioStreamDescription wav(int rate, int channels, int bits) {
        AudioStreamDescription t;
        t.formatID = audio::kAudioFormatLinearPCM;
        t.sampleRate = rate;
        t.channelsPerFrame = static_cast<uint32_t>(channels);
        t.bitsPerChannel = static_cast<uint32_t>(bits);
        return t;
    }

    test::Decoded decode(const std::string& path) {
        bool ok;
        auto d = test::decodeFile(path, ok);
        EXPECT_TRUE(ok) << path;
        return d;
    }

    std::string bytesOf(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

int16_t peak(const test::Decoded& d) {
    int m = 0;
    for (auto s : d.samples) m = std::max(m, std::abs(static_cast<int>(s)));
    return static_cast<int16_t>(m);
}

}  // namespace

TEST(DownmixFactor, KeepsTheLoudestChannelsPeak) {
    EXPECT_EQ(AudioConverter::downmixFactor(1.0f, 2.0f), 0.5f);
    EXPECT_EQ(AudioConverter::downmixFactor(1.0f, 1.0f), 1.0f);
    EXPECT_EQ(AudioConverter::downmixFactor(0.0f, 0.0f), 1.0f);
    EXPECT_EQ(AudioConverter::downmixFactor(0.8f, 0.5f), 1.0f);
}

TEST_F(AudioConverterTest, FormatQueryReportsTheFilesOwnFormat) {
    std::string path = dir.file("a.wav");
    test::writeWav16(path, 48000, 2, 480000, [](int64_t, int) { return int16_t{0}; });
    AudioStreamDescription f;
    double duration = 0;
    ASSERT_TRUE(converter.formatWithURL(path, &f, &duration));
    EXPECT_EQ(f.formatID, audio::kAudioFormatLinearPCM);
    EXPECT_EQ(f.channelsPerFrame, 2u);
    EXPECT_EQ(f.sampleRate, 48000.0);
    EXPECT_EQ(f.bitsPerChannel, 16u);
    EXPECT_EQ(f.reserved, 48000u * 2 * 16);
    EXPECT_DOUBLE_EQ(duration, 10.0);
    EXPECT_FALSE(converter.formatWithURL(dir.file("missing.wav"), &f, &duration));
}

TEST_F(AudioConverterTest, WavBitDepthsAreWrittenAsAsked) {
    std::string src = dir.file("tone.wav");
    test::writeToneWav(src, 44100, 440, 0.5, 1.0);
    for (auto [bits, codec] : std::vector<std::pair<int, std::string>>{
             {0, "pcm_f32le"}, {16, "pcm_s16le"}, {24, "pcm_s24le"}, {32, "pcm_s32le"}}) {
        std::string dst = dir.file("out" + std::to_string(bits) + ".wav");
        ASSERT_TRUE(converter.convertAtURL(src, dst, wav(44100, 2, bits))) << bits;
        auto d = decode(dst);
        EXPECT_EQ(d.codec, codec);
        EXPECT_EQ(d.frames(), 44100);
        EXPECT_NEAR(peak(d), 16384, 2) << bits;
    }
}

TEST_F(AudioConverterTest, ResamplesToTheTargetRate) {
    std::string src = dir.file("tone.wav");
    test::writeToneWav(src, 44100, 1000, 0.5, 2.0);
    ASSERT_TRUE(converter.convertAtURL(src, dir.file("48.wav"), wav(48000, 2, 16)));
    auto d = decode(dir.file("48.wav"));
    EXPECT_EQ(d.rate, 48000);
    EXPECT_NEAR(static_cast<double>(d.frames()), 96000, 64);
    EXPECT_NEAR(test::zeroCrossingFrequency(d.samples, 2, 0, 1000, 90000, 48000), 1000, 1);
}

TEST_F(AudioConverterTest, IdenticalFullScaleChannelsMixToTheSamePeak) {
    std::string src = dir.file("same.wav");
    test::writeWav16(src, 44100, 2, 44100, [](int64_t f, int) {
        return static_cast<int16_t>(32767 * std::sin(2 * M_PI * 441 * f / 44100.0));
    });
    ASSERT_TRUE(converter.convertAtURL(src, dir.file("mono.wav"), wav(44100, 1, 16)));
    auto d = decode(dir.file("mono.wav"));
    EXPECT_EQ(d.channels, 1);
    EXPECT_NEAR(peak(d), 32767, 2);  // factor 0.5: the sum is scaled back to one channel's peak
}

TEST_F(AudioConverterTest, ASilentChannelLeavesTheOtherUnchanged) {
    std::string src = dir.file("half.wav");
    test::writeWav16(src, 44100, 2, 20000, [](int64_t f, int c) {
        return static_cast<int16_t>(c == 0 ? (f * 7) % 20000 - 10000 : 0);
    });
    ASSERT_TRUE(converter.convertAtURL(src, dir.file("mono.wav"), wav(44100, 1, 16)));
    auto d = decode(dir.file("mono.wav"));
    ASSERT_EQ(d.frames(), 20000);
    for (int64_t f = 0; f < 20000; f += 997)
        EXPECT_EQ(d.samples[static_cast<size_t>(f)], static_cast<int16_t>((f * 7) % 20000 - 10000))
            << f;
}

TEST_F(AudioConverterTest, ConvertsToAacAtTheAskedBitRateAndRate) {
    std::string src = dir.file("tone.wav");
    test::writeToneWav(src, 44100, 1000, 0.5, 3.0);
    AudioStreamDescription t;
    t.formatID = audio::kAudioFormatMPEG4AAC;
    t.sampleRate = 48000;
    t.channelsPerFrame = 2;
    t.reserved = 128000;
    ASSERT_TRUE(converter.convertAtURL(src, dir.file("out.m4a"), t));
    auto d = decode(dir.file("out.m4a"));
    EXPECT_EQ(d.codec, "aac");
    EXPECT_EQ(d.rate, 48000);
    EXPECT_NEAR(static_cast<double>(d.bitRate), 128000, 128000 * 0.3);
    EXPECT_NEAR(test::zeroCrossingFrequency(d.samples, 2, 0, 4800, 130000, 48000), 1000, 2);
}

TEST_F(AudioConverterTest, OtherFormatsAndUnwritableDestinationsFailAndCreateNothing) {
    std::string src = dir.file("tone.wav");
    test::writeToneWav(src, 44100, 440, 0.5, 0.1);
    AudioStreamDescription t = wav(44100, 2, 16);
    t.formatID = 0x666C6163;  // 'flac'
    EXPECT_FALSE(converter.convertAtURL(src, dir.file("x.flac"), t));
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.flac")));
    EXPECT_FALSE(converter.convertAtURL(src, dir.file("no/such/o.wav"), wav(44100, 2, 16)));
    EXPECT_FALSE(std::filesystem::exists(dir.file("no/such/o.wav")));
}

TEST_F(AudioConverterTest, SplitStereoGivesLeftAndRight) {
    std::string src = dir.file("lr.wav");
    test::writeWav16(src, 44100, 2, 40000, [](int64_t f, int c) {
        return static_cast<int16_t>(c ? -(f % 3000) : f % 3000);
    });
    ASSERT_TRUE(converter.splitAtURL(src, {dir.file("l.wav"), dir.file("r.wav")}));
    auto l = decode(dir.file("l.wav")), r = decode(dir.file("r.wav"));
    ASSERT_EQ(l.channels, 1);
    ASSERT_EQ(l.frames(), 40000);
    ASSERT_EQ(r.frames(), 40000);
    EXPECT_EQ(l.samples[39999], 39999 % 3000);
    EXPECT_EQ(r.samples[39999], -(39999 % 3000));
}

TEST_F(AudioConverterTest, SplitFourAndSixChannelsIntoStereoPairs) {
    for (int channels : {4, 6}) {
        std::string src = dir.file("multi" + std::to_string(channels) + ".wav");
        test::writeWav16(src, 44100, channels, 1000,
                         [](int64_t f, int c) { return static_cast<int16_t>(c * 1000 + f % 7); });
        ASSERT_TRUE(converter.splitAtURL(src, {dir.file("a.wav"), dir.file("b.wav")}));
        auto a = decode(dir.file("a.wav")), b = decode(dir.file("b.wav"));
        ASSERT_EQ(a.channels, 2);
        ASSERT_EQ(b.channels, 2);
        EXPECT_EQ(a.samples[0], 0);
        EXPECT_EQ(a.samples[1], 1000);
        EXPECT_EQ(b.samples[0], 2000);
        EXPECT_EQ(b.samples[1], 3000);  // channels 5 and 6 of a 6-channel file are dropped
    }
}

TEST_F(AudioConverterTest, SplitIntoTooManyFailsAndRemovesEveryNamedFile) {
    std::string src = dir.file("lr.wav");
    test::writeWav16(src, 44100, 2, 100, [](int64_t, int) { return int16_t{1}; });
    std::vector<std::string> outs{dir.file("1.wav"), dir.file("2.wav"), dir.file("3.wav")};
    for (auto& o : outs) std::ofstream(o) << "old";
    EXPECT_FALSE(converter.splitAtURL(src, outs));
    for (auto& o : outs) EXPECT_FALSE(std::filesystem::exists(o)) << o;
}

TEST_F(AudioConverterTest, ReverseIsSampleExactAcrossBlockBoundaries) {
    std::string src = dir.file("fwd.wav");
    const int64_t n = 2 * AudioConverter::kBlockFrames + 1234;
    test::writeWav16(src, 44100, 2, n, [](int64_t f, int c) {
        return static_cast<int16_t>(c ? f % 32000 : -(f % 32000));
    });
    ASSERT_TRUE(converter.reverseAtURL(src, dir.file("rev.wav")));
    auto d = decode(dir.file("rev.wav"));
    ASSERT_EQ(d.frames(), n);
    for (int64_t f = 0; f < n; ++f) {
        int64_t orig = n - 1 - f;
        ASSERT_EQ(d.samples[static_cast<size_t>(2 * f)], static_cast<int16_t>(-(orig % 32000)))
            << f;
        ASSERT_EQ(d.samples[static_cast<size_t>(2 * f + 1)], static_cast<int16_t>(orig % 32000))
            << f;
    }
    // The private temporary file is gone.
    for (auto& e : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(e.path().filename().string().rfind("lmtt.", 0), std::string::npos);
}

TEST_F(AudioConverterTest, ReverseKeepsTwentyFourBits) {
    std::string src = dir.file("s24.wav");
    ASSERT_TRUE(converter.convertAtURL(dir.file("missing"), src, wav(44100, 2, 24)) == false);
    test::writeToneWav(dir.file("tone.wav"), 44100, 440, 0.5, 0.5);
    ASSERT_TRUE(converter.convertAtURL(dir.file("tone.wav"), src, wav(44100, 2, 24)));
    ASSERT_TRUE(converter.reverseAtURL(src, dir.file("rev24.wav")));
    auto d = decode(dir.file("rev24.wav"));
    EXPECT_EQ(d.codec, "pcm_s24le");
    EXPECT_EQ(d.frames(), 22050);
}

TEST_F(AudioConverterTest, ReverseOfAnEmptyFileIsAnEmptyWav) {
    std::string src = dir.file("empty.wav");
    test::writeWav16(src, 44100, 2, 0, [](int64_t, int) { return int16_t{0}; });
    ASSERT_TRUE(converter.reverseAtURL(src, dir.file("rev.wav")));
    EXPECT_EQ(decode(dir.file("rev.wav")).frames(), 0);
}

TEST_F(AudioConverterTest, DestinationEqualToTheSourceFailsAndLeavesTheSourceAlone) {
    std::string src = dir.file("keep.wav");
    test::writeToneWav(src, 44100, 440, 0.5, 0.2);
    std::string before = bytesOf(src);
    EXPECT_FALSE(converter.convertAtURL(src, src, wav(44100, 2, 16)));
    EXPECT_FALSE(converter.convertAtURL(src, dir.path() + "/./keep.wav", wav(44100, 2, 16)));
    EXPECT_FALSE(converter.reverseAtURL(src, src));
    EXPECT_FALSE(converter.splitAtURL(src, {dir.file("x.wav"), src}));
    EXPECT_EQ(bytesOf(src), before);
}

TEST_F(AudioConverterTest, SourcesThatAreNotAudioFailWithoutAPartialDestination) {
    std::string src = dir.file("junk.wav");
    std::ofstream(src) << std::string(5000, 'x');
    EXPECT_FALSE(converter.convertAtURL(src, dir.file("o.wav"), wav(44100, 2, 16)));
    EXPECT_FALSE(converter.reverseAtURL(src, dir.file("o.wav")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("o.wav")));
}

TEST_F(AudioConverterTest, AFullDiskFailsAndLeavesNoPartialFile) {
    std::string mnt = dir.file("small");
    std::filesystem::create_directory(mnt);
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    std::string src = dir.file("tone.wav");
    test::writeToneWav(src, 44100, 440, 0.5, 5.0);  // 860 kB of PCM
    std::string dst = mnt + "/o.wav";
    bool converted = converter.convertAtURL(src, dst, wav(44100, 2, 16));
    bool reversed = converter.reverseAtURL(src, dst);
    bool exists = std::filesystem::exists(dst);
    umount(mnt.c_str());
    EXPECT_FALSE(converted);
    EXPECT_FALSE(reversed);
    EXPECT_FALSE(exists);
}
