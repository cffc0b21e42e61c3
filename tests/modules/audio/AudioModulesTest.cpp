#include <gtest/gtest.h>

#include <filesystem>

#include "audio/AudioTestSupport.h"
#include "audio/StreamDoubles.h"
#include "audio/ffmpeg/FfmpegAudioFiles.h"
#include "bridge/NativeCall.h"
#include "bridge/Result.h"
#include "modules/audio/AudioArguments.h"
#include "modules/audio/AudioModule.h"
#include "modules/player/PlayerModule.h"
#include "modules/recorder/RecorderModule.h"
#include "support/TestServices.h"

using namespace lumetta;
using bridge::NativeCall;
using nlohmann::json;

namespace {

class FakeSystem final : public audio::AudioSystem {
  public:
    std::vector<audio::AudioDeviceInfo> inputs, outputs;
    std::function<void()> handler;
    std::vector<audio::AudioDeviceInfo> devices(audio::AudioDirection d) override {
        return d == audio::AudioDirection::input ? inputs : outputs;
    }
    void setDevicesChangedHandler(std::function<void()> h) override { handler = std::move(h); }
};

// The device link as the player and recorder find it: a module offering the two streams.
class FakeLinkModule final : public bridge::Module, public audio::LinkAudioStreams {
  public:
    audio::AudioOutputStream& linkOutputStream() override { return output; }
    audio::AudioInputStream& linkInputStream() override { return input; }
    test::FakeOutputStream output;
    test::FakeInputStream input;
};

class AudioModulesTest : public ::testing::Test {
  protected:
    void build(bool withLink) {
        std::vector<bridge::ModuleDescriptor> modules{
            modules::audio::descriptor([this](bridge::Services&) {
                auto s = std::make_unique<FakeSystem>();
                system = s.get();
                s->outputs = {{"Speakers", "sink.a", 2, 44100.0, 16, false},
                              {"HDMI", "sink.b", 8, 48000.7, 24, true},
                              {"Nothing", "sink.c", 0, 44100.0, 16, false}};
                modules::audio::AudioPlatform p;
                p.system = std::move(s);
                p.files = std::make_unique<audio::FfmpegAudioFiles>();
                p.temporaryFolder = [this]() -> std::optional<std::string> {
                    return dir.path() + "/";
                };
                return p;
            }),
            modules::player::descriptor([this](bridge::Services&) {
                modules::player::PlayerPlatform p;
                p.queues = std::make_unique<test::FakeQueueFactory>(outputState);
                p.files = std::make_unique<audio::FfmpegAudioFiles>();
                p.documentsFolder = [this] { return dir.path() + "/"; };
                return p;
            }),
            modules::recorder::descriptor([this](bridge::Services&) {
                modules::recorder::RecorderPlatform p;
                p.queues = std::make_unique<test::FakeQueueFactory>(inputState);
                p.files = std::make_unique<audio::FfmpegAudioFiles>();
                return p;
            }),
        };
        if (withLink)
            modules.push_back({"dlk", 60, [this](bridge::ModuleContext&) {
                                   auto m = std::make_unique<FakeLinkModule>();
                                   link = m.get();
                                   return m;
                               }});
        native = std::make_unique<NativeCall>(host.services, modules);
    }

    std::string call(const std::string& f, bridge::Arg a = std::nullopt,
                     bridge::Arg b = std::nullopt) {
        return native->call(f, a, b);
    }

    std::vector<std::string> events() {
        host.mainThread.runPending();
        std::vector<std::string> out;
        while (auto e = native->queue().take()) out.push_back(*e);
        return out;
    }

    test::TempDir dir;
    test::TestHost host;
    std::shared_ptr<test::FakeQueueFactory::State> outputState =
        std::make_shared<test::FakeQueueFactory::State>();
    std::shared_ptr<test::FakeQueueFactory::State> inputState =
        std::make_shared<test::FakeQueueFactory::State>();
    FakeSystem* system = nullptr;
    FakeLinkModule* link = nullptr;
    std::unique_ptr<NativeCall> native;
};

std::string ev(std::initializer_list<std::string_view> f) {
    return bridge::joinEvent(f);
}

}  // namespace

TEST(AudioArguments, ReadLeadingDecimalText) {
    using modules::audio::leadingInteger;
    using modules::audio::leadingNumber;
    EXPECT_EQ(leadingNumber(std::string("  2.5xyz")), 2.5);
    EXPECT_EQ(leadingNumber(std::string("-0.25")), -0.25);
    EXPECT_EQ(leadingNumber(std::string("1e1s")), 10.0);
    EXPECT_EQ(leadingNumber(std::string("1e")), 1.0);
    EXPECT_EQ(leadingNumber(std::string("abc")), 0.0);
    EXPECT_EQ(leadingNumber(std::string("0x10")), 0.0);
    EXPECT_EQ(leadingNumber(std::string("inf")), 0.0);
    EXPECT_EQ(leadingNumber(std::nullopt), 0.0);
    EXPECT_EQ(leadingInteger(std::string("3.9")), 3);
    EXPECT_EQ(leadingInteger(std::string("-1")), -1);
}

TEST_F(AudioModulesTest, OutputListHasTheSixKeysAndSkipsDevicesWithoutChannels) {
    build(false);
    auto r = call("$$audio_outputs");
    ASSERT_EQ(r[0], 's');
    auto list = json::parse(r.substr(1));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]["AudioDeviceNameKey"], "Speakers");
    EXPECT_EQ(list[0]["AudioDeviceUIDKey"], "sink.a");
    EXPECT_EQ(list[0]["AudioDeviceChannelsKey"], 2);
    EXPECT_EQ(list[0]["AudioDeviceSampleRateKey"], 44100);
    EXPECT_EQ(list[0]["AudioDeviceBitDepthKey"], 16);
    EXPECT_EQ(list[0]["AudioDeviceCurrentKey"], false);
    EXPECT_EQ(list[1]["AudioDeviceSampleRateKey"], 48000);  // truncated
    EXPECT_EQ(list[1]["AudioDeviceCurrentKey"], true);
    EXPECT_EQ(list[0].size(), 6u);
    EXPECT_EQ(call("$$audio_inputs"), "s[]");
}

TEST_F(AudioModulesTest, EveryDeviceNoticeIsOneChangedEvent) {
    build(false);
    system->handler();
    system->handler();
    EXPECT_EQ(events(),
              (std::vector<std::string>{ev({"audio", "changed"}), ev({"audio", "changed"})}));
}

TEST_F(AudioModulesTest, PlayerOpensOnlyTheNameInTheDocumentsFolder) {
    build(false);
    test::writeWav16(dir.file("song.wav"), 48000, 2, 480000,
                     [](int64_t, int) { return int16_t{0}; });
    EXPECT_EQ(call("$$player_open", std::string("/elsewhere/deep/song.wav")), "b1");
    EXPECT_EQ(call("$$player_file"), "s" + dir.file("song.wav"));
    EXPECT_EQ(call("$$player_totaltime"), "f10.000000");
    EXPECT_EQ(call("$$player_open", std::string("/elsewhere/missing.wav")), "b");
    EXPECT_EQ(call("$$player_file"), "s");
    EXPECT_EQ(call("$$player_open", std::string("../")), "b");
}

TEST_F(AudioModulesTest, PlayerAnswersAsThePageExpects) {
    build(false);
    EXPECT_EQ(call("$$player_speed", std::string("2.5")), "f1.000000");
    EXPECT_EQ(call("$$player_speed", std::string("0.5")), "f0.500000");
    EXPECT_EQ(call("$$player_speed"), "f0.500000");
    EXPECT_EQ(call("$$player_volume", std::string("1.5")), "f1.000000");
    EXPECT_EQ(call("$$player_peakpower", std::string("5")), "f0.000000");
    EXPECT_EQ(call("$$player_peakpower", std::string("0")), "f-120.000000");
    EXPECT_EQ(call("$$player_channels"), "d2");
    EXPECT_EQ(call("$$player_status"), "d0");
    EXPECT_EQ(call("$$player_device"), "s");
}

TEST_F(AudioModulesTest, StopWithoutAFilePostsTheStopEvent) {
    build(false);
    EXPECT_EQ(call("$$player_stop"), "v");
    EXPECT_EQ(events(), std::vector<std::string>{ev({"player", "stop", ""})});
}

TEST_F(AudioModulesTest, LocateHoldsTheOutputStoppedAtTheNewTime) {
    build(false);
    test::writeWav16(dir.file("long.wav"), 44100, 2, 44100 * 40,
                     [](int64_t, int) { return int16_t{100}; });
    ASSERT_EQ(call("$$player_open", std::string("long.wav")), "b1");
    call("$$player_play");
    EXPECT_EQ(call("$$player_status"), "d1");
    call("$$player_locate", std::string("30"));
    EXPECT_EQ(call("$$player_status"), "d0");
    EXPECT_EQ(call("$$player_time"), "f30.000000");
    call("$$player_play");
    EXPECT_EQ(call("$$player_status"), "d1");
}

TEST_F(AudioModulesTest, DeviceChangeWhilePlayingStopsRewindsAndPostsStop) {
    build(false);
    test::writeWav16(dir.file("x.wav"), 44100, 2, 44100, [](int64_t, int) { return int16_t{100}; });
    ASSERT_EQ(call("$$player_open", std::string("x.wav")), "b1");
    call("$$player_play");
    EXPECT_EQ(call("$$player_device", std::string("sink.b")), "ssink.b");
    EXPECT_EQ(call("$$player_status"), "d0");
    EXPECT_EQ(call("$$player_time"), "f0.000000");
    EXPECT_EQ(events(), std::vector<std::string>{ev({"player", "stop", dir.file("x.wav")})});
    call("$$player_play");
    EXPECT_EQ(outputState->lastUid, "sink.b");
}

TEST_F(AudioModulesTest, TheDelayedSpeedAfterOpenResetsTheRate) {
    build(false);
    call("$$player_speed", std::string("0.5"));
    test::writeWav16(dir.file("y.wav"), 44100, 2, 100, [](int64_t, int) { return int16_t{1}; });
    call("$$player_open", std::string("y.wav"));
    EXPECT_EQ(call("$$player_speed"), "f0.500000");
    for (int i = 0; i < 100 && host.mainThread.pending() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    host.mainThread.runPending();
    EXPECT_EQ(call("$$player_speed"), "f1.000000");
}

TEST_F(AudioModulesTest, AFailedLocalOutputStopsThePlayerAndReportsTheError) {
    build(false);
    test::writeWav16(dir.file("z.wav"), 44100, 2, 44100, [](int64_t, int) { return int16_t{1}; });
    call("$$player_open", std::string("z.wav"));
    call("$$player_play");
    outputState->output.failed();
    EXPECT_EQ(events(), (std::vector<std::string>{ev({"player", "stop", dir.file("z.wav")}),
                                                  ev({"player", "error", dir.file("z.wav")})}));
    EXPECT_EQ(call("$$player_status"), "d0");
}

TEST_F(AudioModulesTest, WithoutADeviceLinkTheLinkOutputIsRefused) {
    build(false);
    EXPECT_EQ(call("$$player_output", std::string("1")).substr(0, 1), "e");
    EXPECT_EQ(call("$$recorder_input", std::string("yes")).substr(0, 1), "e");
    EXPECT_EQ(call("$$player_output", std::string("0")), "v");
    EXPECT_EQ(call("$$recorder_input", std::string("0")), "v");
    EXPECT_EQ(call("$$player_channels"), "d2");
}

TEST_F(AudioModulesTest, PlayerSwitchesToTheLinkOutputAndBack) {
    build(true);
    ASSERT_TRUE(link);
    EXPECT_NE(link->output.delegate, nullptr);  // the player is its delegate from the start
    test::writeWav16(dir.file("l.wav"), 44100, 2, 4096,
                     [](int64_t f, int) { return static_cast<int16_t>(f); });
    EXPECT_EQ(call("$$player_output", std::string("1")), "v");
    ASSERT_EQ(call("$$player_open", std::string("l.wav")), "b1");
    call("$$player_play");
    EXPECT_EQ(link->output.starts, 1);
    EXPECT_EQ(outputState->outputsMade, 0);
    auto pulled = link->output.pull();
    ASSERT_EQ(pulled.size(), 4096u);
    EXPECT_EQ(pulled[2 * 7], 7);
    EXPECT_EQ(call("$$player_peakpower", std::string("1")), "f-7.000000");
    EXPECT_EQ(call("$$player_output", std::string("false")), "v");
    EXPECT_GE(link->output.stops, 1);
    call("$$player_play");
    EXPECT_EQ(outputState->outputsMade, 1);
}

TEST_F(AudioModulesTest, RecorderRecordsFromTheLinkInput) {
    build(true);
    std::string path = dir.file("link.wav");
    EXPECT_EQ(call("$$recorder_input", std::string("1")), "v");
    EXPECT_EQ(call("$$recorder_create", path, std::string("4")), "b1");
    call("$$recorder_record");
    EXPECT_EQ(link->input.starts, 1);
    link->input.push(std::vector<int16_t>(2 * 300, 77));
    EXPECT_EQ(call("$$recorder_time"), "f1.500000");
    call("$$recorder_stop", std::string("true"));
    EXPECT_EQ(events(), std::vector<std::string>{ev({"recorder", "stop", path})});
    bool ok;
    auto d = test::decodeFile(path, ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(d.frames(), 300);
}

TEST_F(AudioModulesTest, RecorderAnswersAsThePageExpects) {
    build(false);
    EXPECT_EQ(call("$$recorder_time"), "f0.000000");
    EXPECT_EQ(call("$$recorder_volume", std::string("1.5")), "f1.000000");
    EXPECT_EQ(call("$$recorder_volume", std::string("0.5")), "f0.500000");
    EXPECT_EQ(call("$$recorder_file"), "s");
    EXPECT_EQ(call("$$recorder_create", dir.file("no/dir.wav"), std::string("4")), "b");
    std::string path = dir.file("r.wav");
    EXPECT_EQ(call("$$recorder_create", path, std::string("4")), "b1");
    EXPECT_EQ(call("$$recorder_file"), "s" + path);
    call("$$recorder_record");
    EXPECT_EQ(call("$$recorder_status"), "d1");
    std::vector<int16_t> captured(2 * 2048, 10000);
    inputState->input.delivered(reinterpret_cast<uint8_t*>(captured.data()), captured.size() * 2);
    call("$$recorder_stop");
    EXPECT_EQ(events(), std::vector<std::string>{ev({"recorder", "stop", path})});
    EXPECT_EQ(call("$$recorder_file"), "s");
    call("$$recorder_stop");
    EXPECT_TRUE(events().empty());
    bool ok;
    auto d = test::decodeFile(path, ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(d.frames(), 2048);
    EXPECT_EQ(d.samples[0], 2973);  // 10000 x 0.5^1.75, truncated
}

TEST_F(AudioModulesTest, AFailedLocalInputReportsTheErrorAndFinishesTheFile) {
    build(false);
    std::string path = dir.file("f.wav");
    call("$$recorder_create", path, std::string("4"));
    call("$$recorder_record");
    std::vector<int16_t> captured(2 * 100, 5);
    inputState->input.delivered(reinterpret_cast<uint8_t*>(captured.data()), captured.size() * 2);
    inputState->input.failed();
    EXPECT_EQ(events(), (std::vector<std::string>{ev({"recorder", "error", path}),
                                                  ev({"recorder", "stop", path})}));
    bool ok;
    auto d = test::decodeFile(path, ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(d.frames(), 100);
}

TEST_F(AudioModulesTest, FormatDictionaryNamesTheFormat) {
    build(false);
    test::writeWav16(dir.file("f.wav"), 44100, 2, 44100, [](int64_t, int) { return int16_t{0}; });
    auto d = json::parse(call("$$audio_format", dir.file("f.wav")).substr(1));
    EXPECT_EQ(d["format"], "PCM");
    EXPECT_EQ(d["channels"], 2);
    EXPECT_EQ(d["samplerate"], 44100);
    EXPECT_EQ(d["bitdepth"], 16);
    EXPECT_EQ(d["bitrate"], 1411200);
    EXPECT_FLOAT_EQ(d["duration"].get<float>(), 1.0f);
    auto e = json::parse(call("$$audio_format", dir.file("none.wav")).substr(1));
    EXPECT_EQ(e["format"], "error");
    EXPECT_EQ(e["channels"], 0);
    EXPECT_EQ(e["duration"], 0.0);
}

TEST(FormatDictionary, OtherCodecsAsHexAndFloatAsDepthZero) {
    audio::AudioFileInfo alac;
    alac.format.formatID = audio::kAudioFormatAppleLossless;
    EXPECT_EQ(modules::audio::formatDictionary(alac)["format"], "0x616C6163");
    audio::AudioFileInfo f;
    f.format.formatID = audio::kAudioFormatLinearPCM;
    f.format.formatFlags = audio::kAudioFormatFlagIsFloat;
    f.format.bitsPerChannel = 32;
    EXPECT_EQ(modules::audio::formatDictionary(f)["bitdepth"], 0);
    audio::AudioFileInfo mp3;
    mp3.format.formatID = audio::kAudioFormatMPEGLayer3;
    EXPECT_EQ(modules::audio::formatDictionary(mp3)["format"], "MP3");
}

TEST_F(AudioModulesTest, ConvertPostsConvertedWithNewJsonAndSplitRepeatsThePagesText) {
    build(false);
    std::string src = dir.file("s.wav");
    test::writeWav16(src, 44100, 2, 1000, [](int64_t, int c) { return static_cast<int16_t>(c); });
    std::string out = dir.file("o.wav");
    EXPECT_EQ(call("$$audio_convert", src,
                   std::string(R"({"format":"wav","file":")" + out +
                               R"(","channels":"2","samplerate":48000,"bitdepth":16})")),
              "v");
    auto e = events();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0],
              ev({"audio", "converted", src, *bridge::jsonStringFromObject(json::array({out}))}));
    std::string pageText = "[ \"" + dir.file("l.wav") + "\",\"" + dir.file("r.wav") + "\" ]";
    call("$$audio_split", src, pageText);
    EXPECT_EQ(events(), std::vector<std::string>{ev({"audio", "converted", src, pageText})});
    call("$$audio_reverse", src, dir.file("rev.wav"));
    EXPECT_EQ(events().at(0).rfind(ev({"audio", "converted", src}), 0), 0u);
}

TEST_F(AudioModulesTest, FailedConversionsPostConvertFailedWithTheSource) {
    build(false);
    std::string src = dir.file("s.wav");
    test::writeWav16(src, 44100, 2, 100, [](int64_t, int) { return int16_t{1}; });
    call("$$audio_convert", src,
         std::string(R"({"format":"flac","file":")" + dir.file("x") + R"("})"));
    call("$$audio_convert", src, std::string("not json"));
    call("$$audio_split", src, std::string(R"(["a", 3])"));
    call("$$audio_reverse", dir.file("missing.wav"), dir.file("r.wav"));
    auto e = events();
    ASSERT_EQ(e.size(), 4u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(e[i], ev({"audio", "convertfailed", src}));
    EXPECT_EQ(e[3], ev({"audio", "convertfailed", dir.file("missing.wav")}));
    EXPECT_FALSE(std::filesystem::exists(dir.file("x")));
}
