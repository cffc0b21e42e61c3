#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>

#include "audio/AudioRecorder.h"
#include "audio/AudioTestSupport.h"
#include "audio/StreamDoubles.h"
#include "audio/ffmpeg/FfmpegAudioFiles.h"

using namespace lumetta;
using audio::AudioRecorder;

namespace {

struct Notices final : audio::AudioRecorderDelegate {
    std::vector<std::string> log;
    void audioRecorderDidFinishRecording(const std::string& p) override {
        log.push_back("stop " + p);
    }
    void audioRecorderErrorDidOccur(const std::string& p) override { log.push_back("error " + p); }
};

// Files whose writer fails from its `failAt`-th write on, and counts what it kept.
class FailingWriter final : public audio::AudioFileWriter {
  public:
    FailingWriter(int failAt, int& finished) : failAt_(failAt), finished_(finished) {}
    bool write(const uint8_t*, int64_t) override { return ++writes_ < failAt_; }
    bool finish() override {
        ++finished_;
        return true;
    }

  private:
    int failAt_;
    int writes_ = 0;
    int& finished_;
};

class FailingFiles final : public audio::AudioFileService {
  public:
    int finished = 0;
    std::unique_ptr<audio::AudioFileReader> openReader(
        const std::string&, const audio::AudioStreamDescription&) override {
        return nullptr;
    }
    std::unique_ptr<audio::AudioFileWriter> createWriter(
        const std::string&, const audio::AudioFileFormat&,
        const audio::AudioStreamDescription&) override {
        return std::make_unique<FailingWriter>(2, finished);
    }
};

std::vector<int16_t> ramp(int frames, int start) {
    std::vector<int16_t> s;
    for (int f = 0; f < frames; ++f) {
        s.push_back(static_cast<int16_t>(start + f));
        s.push_back(static_cast<int16_t>(-(start + f)));
    }
    return s;
}

class AudioRecorderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        recorder.setDelegate(&notices);
        recorder.setInput(&input);
    }
    test::TempDir dir;
    audio::FfmpegAudioFiles files;
    // The input and the delegate outlive the recorder, which talks to them while it goes.
    test::FakeInputStream input;
    Notices notices;
    AudioRecorder recorder{files};
};

}  // namespace

TEST(RecordFileFormat, CodesChooseTheFileTypeAndBitRate) {
    auto in = audio::clientStreamDescription();
    using C = audio::AudioFileFormat::Container;
    EXPECT_EQ(audio::recordFileFormat(4, in).container, C::wave);
    EXPECT_EQ(audio::recordFileFormat(4, in).format.bitsPerChannel, 16u);
    EXPECT_EQ(audio::recordFileFormat(0, in).format.reserved, 256000u);
    EXPECT_EQ(audio::recordFileFormat(1, in).format.reserved, 192000u);
    EXPECT_EQ(audio::recordFileFormat(2, in).format.reserved, 128000u);
    for (int code : {3, -1, 5, 99}) {
        EXPECT_EQ(audio::recordFileFormat(code, in).container, C::mpeg4) << code;
        EXPECT_EQ(audio::recordFileFormat(code, in).format.reserved, 64000u) << code;
    }
}

TEST_F(AudioRecorderTest, WaveRecordingHoldsExactlyWhatWasDelivered) {
    std::string path = dir.file("take.wav");
    ASSERT_TRUE(recorder.create(path, 4));
    EXPECT_EQ(recorder.file().value_or(""), path);
    recorder.record();
    EXPECT_EQ(input.starts, 1);
    input.push(ramp(2048, 0));
    input.push(ramp(100, 2048));
    recorder.stop(false);
    ASSERT_EQ(notices.log.size(), 1u);
    EXPECT_EQ(notices.log[0], "stop " + path);
    EXPECT_FALSE(recorder.file());
    bool ok;
    auto d = test::decodeFile(path, ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(d.codec, "pcm_s16le");
    EXPECT_EQ(d.rate, 44100);
    EXPECT_EQ(d.channels, 2);
    ASSERT_EQ(d.frames(), 2148);
    EXPECT_EQ(d.samples[2 * 2147], 2147);
    EXPECT_EQ(d.samples[2 * 2147 + 1], -2147);
}

TEST_F(AudioRecorderTest, ASecondStopPostsNothing) {
    ASSERT_TRUE(recorder.create(dir.file("a.wav"), 4));
    recorder.stop(true);
    recorder.stop(true);
    recorder.stop(false);
    EXPECT_EQ(notices.log.size(), 1u);
}

TEST_F(AudioRecorderTest, DataWithoutAFileIsDropped) {
    recorder.record();
    input.push(ramp(10, 0));
    recorder.stop(false);
    EXPECT_TRUE(notices.log.empty());
    EXPECT_EQ(recorder.currentTime(), 0.0);
}

TEST_F(AudioRecorderTest, TimeIsZeroUntilAFileIsOpen) {
    EXPECT_EQ(recorder.currentTime(), 0.0);
    ASSERT_TRUE(recorder.create(dir.file("t.wav"), 4));
    EXPECT_EQ(recorder.currentTime(), 1.5);
}

TEST_F(AudioRecorderTest, AacAtEachBitRateIsReadableBack) {
    for (auto [code, rate] :
         std::vector<std::pair<int, int>>{{0, 256000}, {1, 192000}, {2, 128000}, {3, 64000}}) {
        std::string path = dir.file("take" + std::to_string(code) + ".m4a");
        ASSERT_TRUE(recorder.create(path, code));
        recorder.record();
        for (int i = 0; i < 40; ++i) {
            std::vector<int16_t> s;
            for (int f = 0; f < 2048; ++f) {
                double t = (i * 2048 + f) / 44100.0;
                auto v = static_cast<int16_t>(12000 * std::sin(2 * M_PI * 440 * t));
                s.push_back(v);
                s.push_back(v);
            }
            input.push(s);
        }
        recorder.stop(false);
        bool ok;
        auto d = test::decodeFile(path, ok);
        ASSERT_TRUE(ok) << path;
        EXPECT_EQ(d.codec, "aac");
        EXPECT_EQ(d.rate, 44100);
        EXPECT_EQ(d.channels, 2);
        EXPECT_NEAR(static_cast<double>(d.frames()), 40 * 2048, 2048) << code;
        EXPECT_NEAR(static_cast<double>(d.bitRate), rate, rate * 0.35) << code;
        EXPECT_NEAR(test::zeroCrossingFrequency(d.samples, 2, 0, 4096, d.frames() - 4096, 44100),
                    440, 2);
    }
}

TEST_F(AudioRecorderTest, WriteErrorReportsTheErrorThenFinishesTheFile) {
    FailingFiles failing;
    Notices n;
    test::FakeInputStream in;
    AudioRecorder r(failing);
    r.setDelegate(&n);
    r.setInput(&in);
    ASSERT_TRUE(r.create("/x.wav", 4));
    r.record();
    in.push(ramp(10, 0));
    in.push(ramp(10, 0));  // this write fails
    ASSERT_EQ(n.log.size(), 2u);
    EXPECT_EQ(n.log[0], "error /x.wav");
    EXPECT_EQ(n.log[1], "stop /x.wav");
    EXPECT_EQ(failing.finished, 1);
    EXPECT_EQ(in.state, 0);
    in.push(ramp(10, 0));  // after the stop nothing more is written or reported
    EXPECT_EQ(n.log.size(), 2u);
}

TEST_F(AudioRecorderTest, CreateInAMissingFolderFailsAndLeavesNothing) {
    std::string path = dir.file("no/such/folder/take.wav");
    EXPECT_FALSE(recorder.create(path, 4));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(recorder.file());
}

TEST_F(AudioRecorderTest, CreateRefusesAFifoAndLeavesItAlone) {
    std::string path = dir.file("fifo");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_FALSE(recorder.create(path, 4));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(AudioRecorderTest, CreateOverwritesAnExistingFile) {
    std::string path = dir.file("old.wav");
    test::writeWav16(path, 8000, 1, 80000, [](int64_t, int) { return int16_t{5}; });
    ASSERT_TRUE(recorder.create(path, 4));
    input.push(ramp(10, 0));
    recorder.stop(true);
    bool ok;
    auto d = test::decodeFile(path, ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(d.rate, 44100);
    EXPECT_EQ(d.frames(), 10);
}

TEST_F(AudioRecorderTest, SwitchingInputsKeepsTheFileOpen) {
    std::string path = dir.file("two.wav");
    ASSERT_TRUE(recorder.create(path, 4));
    recorder.record();
    input.push(ramp(5, 0));
    test::FakeInputStream other;
    recorder.setInput(&other);
    struct Restore {
        AudioRecorder& r;
        test::FakeInputStream& in;
        ~Restore() { r.setInput(&in); }  // `other` goes before the recorder does
    } restore{recorder, input};
    EXPECT_TRUE(notices.log.empty());
    EXPECT_EQ(recorder.file().value_or(""), path);
    recorder.record();
    other.push(ramp(5, 5));
    recorder.stop(false);
    bool ok;
    auto d = test::decodeFile(path, ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(d.frames(), 10);
    EXPECT_EQ(d.samples[2 * 9], 9);
}

TEST_F(AudioRecorderTest, VolumeOutOfRangeIsIgnored) {
    recorder.setVolume(0.25f);
    EXPECT_EQ(recorder.volume(), 0.25f);
    recorder.setVolume(1.5f);
    EXPECT_EQ(recorder.volume(), 0.25f);
    EXPECT_EQ(recorder.peakPowerForChannel(2), 0.0f);
    EXPECT_EQ(recorder.peakPowerForChannel(0), -9.0f);
}
