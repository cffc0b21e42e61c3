#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>

#include "audio/AudioTestSupport.h"
#include "audio/ffmpeg/FfmpegAudioFiles.h"

using namespace lumetta;

namespace {

class FfmpegAudioFilesTest : public ::testing::Test {
  protected:
    test::TempDir dir;
    audio::FfmpegAudioFiles files;
    audio::AudioStreamDescription client = audio::clientStreamDescription();

    std::vector<int16_t> readAll(audio::AudioFileReader& r, int64_t& status) {
        std::vector<int16_t> out, block(2 * 2048);
        while ((status = r.read(reinterpret_cast<uint8_t*>(block.data()), 2048)) > 0)
            out.insert(out.end(), block.begin(), block.begin() + 2 * status);
        return out;
    }
};

}  // namespace

TEST_F(FfmpegAudioFilesTest, ReadsAWaveFileAndReportsItsFormat) {
    std::string path = dir.file("a.wav");
    test::writeWav16(path, 44100, 2, 10000,
                     [](int64_t f, int c) { return static_cast<int16_t>(c ? -f : f); });
    auto r = files.openReader(path, client);
    ASSERT_TRUE(r);
    auto f = r->fileFormat();
    EXPECT_EQ(f.sampleRate, 44100.0);
    EXPECT_EQ(f.formatID, audio::kAudioFormatLinearPCM);
    EXPECT_EQ(f.channelsPerFrame, 2u);
    EXPECT_EQ(f.bitsPerChannel, 16u);
    EXPECT_EQ(r->totalFrames(), 10000u);
    int64_t status;
    auto s = readAll(*r, status);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(s.size(), 20000u);
    EXPECT_EQ(s[2 * 9999], 9999);
    EXPECT_EQ(s[2 * 9999 + 1], -9999);
}

TEST_F(FfmpegAudioFilesTest, ConvertsRateAndChannelsToTheClientFormat) {
    std::string path = dir.file("mono48.wav");
    test::writeWav16(path, 48000, 1, 48000, [](int64_t f, int) {
        return static_cast<int16_t>(10000 * std::sin(2 * M_PI * 1000 * f / 48000.0));
    });
    auto r = files.openReader(path, client);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->totalFrames(), 48000u);
    int64_t status;
    auto s = readAll(*r, status);
    EXPECT_NEAR(static_cast<double>(s.size() / 2), 44100, 50);
    EXPECT_NEAR(test::zeroCrossingFrequency(s, 2, 0, 1000, 40000, 44100), 1000, 1);
    EXPECT_NEAR(test::zeroCrossingFrequency(s, 2, 1, 1000, 40000, 44100), 1000, 1);
}

TEST_F(FfmpegAudioFilesTest, SeeksToTheExactFileFrame) {
    std::string path = dir.file("ramp.wav");
    test::writeWav16(path, 44100, 2, 100000,
                     [](int64_t f, int) { return static_cast<int16_t>(f % 32000); });
    auto r = files.openReader(path, client);
    ASSERT_TRUE(r);
    std::vector<int16_t> block(2 * 16);
    for (uint64_t target : {12345u, 77777u, 0u, 99990u}) {
        ASSERT_TRUE(r->seek(target));
        ASSERT_GT(r->read(reinterpret_cast<uint8_t*>(block.data()), 4), 0);
        EXPECT_EQ(block[0], static_cast<int16_t>(target % 32000)) << target;
    }
}

TEST_F(FfmpegAudioFilesTest, RefusesFilesThatAreNotAudio) {
    std::string text = dir.file("notes.wav");
    std::ofstream(text) << "this is not audio at all, only some words\n";
    EXPECT_FALSE(files.openReader(text, client));
    EXPECT_FALSE(files.openReader(dir.file("missing.wav"), client));
    EXPECT_FALSE(files.openReader(dir.path(), client));
}

TEST_F(FfmpegAudioFilesTest, RefusesAFifoWithoutBlocking) {
    std::string fifo = dir.file("pipe.wav");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto opened =
        std::async(std::launch::async, [&] { return files.openReader(fifo, client) != nullptr; });
    ASSERT_EQ(opened.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_FALSE(opened.get());
}

TEST_F(FfmpegAudioFilesTest, TruncatedFileReadsWhatIsThereThenEnds) {
    std::string path = dir.file("cut.wav");
    test::writeWav16(path, 44100, 2, 50000, [](int64_t, int) { return int16_t{300}; });
    std::filesystem::resize_file(path, 44 + 4 * 20000 + 2);  // half a frame at the end
    auto r = files.openReader(path, client);
    ASSERT_TRUE(r);
    int64_t status;
    auto s = readAll(*r, status);
    EXPECT_EQ(status, 0);
    EXPECT_NEAR(static_cast<double>(s.size() / 2), 20000, 1);
}

TEST_F(FfmpegAudioFilesTest, CorruptCompressedDataEndsInAnErrorOrTheEndNeverAHang) {
    // An AAC file whose body is overwritten with noise.
    std::string path = dir.file("bad.m4a");
    {
        auto w = files.createWriter(path,
                                    {audio::AudioFileFormat::Container::mpeg4,
                                     [] {
                                         auto d = audio::clientStreamDescription();
                                         d.formatID = audio::kAudioFormatMPEG4AAC;
                                         d.reserved = 128000;
                                         return d;
                                     }()},
                                    client);
        ASSERT_TRUE(w);
        std::vector<int16_t> s(2 * 2048);
        for (int i = 0; i < 50; ++i) {
            for (size_t k = 0; k < s.size(); ++k)
                s[k] = static_cast<int16_t>((k * 7919 + i) % 20000);
            ASSERT_TRUE(w->write(reinterpret_cast<uint8_t*>(s.data()), 2048));
        }
        ASSERT_TRUE(w->finish());
    }
    auto size = std::filesystem::file_size(path);
    {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(size / 3));
        for (size_t i = 0; i < size / 3; ++i) f.put(static_cast<char>((i * 131) ^ 0x5A));
    }
    auto done = std::async(std::launch::async, [&] {
        auto r = files.openReader(path, client);
        if (!r) return std::string("refused");
        int64_t status;
        readAll(*r, status);
        return std::string(status < 0 ? "error" : "end");
    });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    auto outcome = done.get();
    EXPECT_TRUE(outcome == "refused" || outcome == "error" || outcome == "end") << outcome;
}

TEST_F(FfmpegAudioFilesTest, WriterLeavesNothingWhenItCannotCreate) {
    audio::AudioFileFormat wav{audio::AudioFileFormat::Container::wave, client};
    EXPECT_FALSE(files.createWriter(dir.file("none/x.wav"), wav, client));
    EXPECT_FALSE(std::filesystem::exists(dir.file("none/x.wav")));
}

TEST_F(FfmpegAudioFilesTest, WriterRefusesADeviceAndLeavesItAlone) {
    audio::AudioFileFormat wav{audio::AudioFileFormat::Container::wave, client};
    struct stat st;
    if (stat("/dev/full", &st) != 0) GTEST_SKIP() << "no /dev/full here";
    EXPECT_FALSE(files.createWriter("/dev/full", wav, client));
    EXPECT_EQ(stat("/dev/full", &st), 0);
}
