// The audio modules against a real PulseAudio server that each test starts for itself: device
// lists and change events, playback into a null sink recorded from its monitor, speed with the
// pitch kept, AAC recordings, a vanished device and a server that dies mid-playback.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "audio/AudioTestSupport.h"
#include "audio/PulseServer.h"
#include "audio/ffmpeg/FfmpegAudioFiles.h"
#include "audio/pulse/PulseAudioSystem.h"
#include "bridge/NativeCall.h"
#include "modules/audio/AudioModule.h"
#include "modules/player/PlayerModule.h"
#include "modules/recorder/RecorderModule.h"
#include "support/TestServices.h"

using namespace lumetta;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

class PulseAudioTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!server.running()) GTEST_SKIP() << server.problem();
        std::vector<bridge::ModuleDescriptor> modules{
            modules::audio::descriptor([this](bridge::Services&) {
                modules::audio::AudioPlatform p;
                p.system = std::make_unique<audio::pulse::PulseAudioSystem>();
                p.files = std::make_unique<audio::FfmpegAudioFiles>();
                p.temporaryFolder = [this]() -> std::optional<std::string> {
                    return dir.path() + "/";
                };
                return p;
            }),
            modules::player::descriptor([this](bridge::Services&) {
                modules::player::PlayerPlatform p;
                p.queues = std::make_unique<audio::pulse::PulseQueueFactory>("test player");
                p.files = std::make_unique<audio::FfmpegAudioFiles>();
                p.documentsFolder = [this] { return dir.path() + "/"; };
                return p;
            }),
            modules::recorder::descriptor([](bridge::Services&) {
                modules::recorder::RecorderPlatform p;
                p.queues = std::make_unique<audio::pulse::PulseQueueFactory>("test recorder");
                p.files = std::make_unique<audio::FfmpegAudioFiles>();
                return p;
            }),
        };
        native = std::make_unique<bridge::NativeCall>(host.services, modules);
    }

    void TearDown() override { native.reset(); }

    std::string call(const std::string& f, bridge::Arg a = std::nullopt,
                     bridge::Arg b = std::nullopt) {
        return native->call(f, a, b);
    }

    // Runs the main thread's tasks and gathers events until `done` holds or the hang guard
    // passes.
    bool pumpUntil(const std::function<bool()>& done,
                   std::chrono::seconds guard = std::chrono::seconds(30)) {
        auto end = Clock::now() + guard;
        while (Clock::now() < end) {
            host.mainThread.runPending();
            while (auto e = native->queue().take()) events.push_back(*e);
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    size_t count(const std::string& event) const {
        return static_cast<size_t>(std::count(events.begin(), events.end(), event));
    }

    bool has(const std::string& event) const { return count(event) > 0; }

    // Pumps until a bridge function's float answer reaches `seconds`.
    bool waitForTime(const std::string& function, double seconds) {
        return pumpUntil([&] { return std::stod(call(function).substr(1)) >= seconds; });
    }

    // Lets the delayed speed setting that follows an open or a locate run.
    void settleDelayedSpeed() {
        auto until = Clock::now() + std::chrono::milliseconds(400);
        pumpUntil([&] { return Clock::now() >= until; });
    }

    // Plays `file` into the sink while recording its monitor to `take`; true when the player
    // reached the end of the file.
    bool playAndRecord(const std::string& file, const std::string& take, float speed = 1.0f,
                       float volume = 1.0f) {
        EXPECT_EQ(call("$$recorder_device", std::string("testsink.monitor")), "stestsink.monitor");
        EXPECT_EQ(call("$$player_device", std::string("testsink")), "stestsink");
        EXPECT_EQ(call("$$recorder_create", take, std::string("4")), "b1");
        EXPECT_EQ(call("$$player_open", file), "b1");
        settleDelayedSpeed();
        call("$$player_speed", std::to_string(speed));
        call("$$player_volume", std::to_string(volume));
        events.clear();
        call("$$recorder_record");
        call("$$player_play");
        EXPECT_EQ(call("$$player_status"), "d1");
        EXPECT_EQ(call("$$recorder_status"), "d1");
        std::string eof = bridge::joinEvent({"player", "eof", dir.file(file)});
        bool ended = pumpUntil([&] { return has(eof); });
        // What is still on its way through the server reaches the monitor.
        auto until = Clock::now() + std::chrono::milliseconds(400);
        pumpUntil([&] { return Clock::now() >= until; });
        call("$$recorder_stop");
        pumpUntil([] { return true; });
        return ended;
    }

    test::PulseServer server;
    test::TempDir dir;
    test::TestHost host;
    std::unique_ptr<bridge::NativeCall> native;
    std::vector<std::string> events;
};

json list(const std::string& result) {
    EXPECT_EQ(result.substr(0, 1), "s");
    return json::parse(result.substr(1));
}

const json* find(const json& devices, const std::string& uid) {
    for (auto& d : devices)
        if (d["AudioDeviceUIDKey"] == uid) return &d;
    return nullptr;
}

// The first frame whose left sample reaches `threshold`, or the length when none does.
int64_t firstLoudFrame(const test::Decoded& take, int threshold) {
    int64_t start = 0;
    while (start < take.frames() &&
           std::abs(take.samples[static_cast<size_t>(2 * start)]) < threshold)
        ++start;
    return start;
}

}  // namespace

TEST_F(PulseAudioTest, ListsTheSinkAsOutputAndItsMonitorAsInput) {
    auto outputs = list(call("$$audio_outputs"));
    auto* sink = find(outputs, "testsink");
    ASSERT_TRUE(sink) << outputs.dump();
    EXPECT_EQ((*sink)["AudioDeviceChannelsKey"], 2);
    EXPECT_EQ((*sink)["AudioDeviceSampleRateKey"], 44100);
    EXPECT_EQ((*sink)["AudioDeviceBitDepthKey"], 16);
    EXPECT_EQ((*sink)["AudioDeviceCurrentKey"], true);
    EXPECT_FALSE(find(outputs, "testsink.monitor"));
    auto inputs = list(call("$$audio_inputs"));
    auto* monitor = find(inputs, "testsink.monitor");
    ASSERT_TRUE(monitor) << inputs.dump();
    EXPECT_EQ((*monitor)["AudioDeviceChannelsKey"], 2);
    EXPECT_FALSE(find(inputs, "testsink"));
}

TEST_F(PulseAudioTest, AddingAndRemovingASinkPostsOneEventPerServerNotice) {
    const std::string changed = bridge::joinEvent({"audio", "changed"});
    int extra = server.loadSink("extra");
    ASSERT_GE(extra, 0);
    // One notice for the sink and one for its monitor source.
    ASSERT_TRUE(pumpUntil([&] { return count(changed) >= 2; }, std::chrono::seconds(10)));
    auto until = Clock::now() + std::chrono::milliseconds(300);
    pumpUntil([&] { return Clock::now() >= until; });
    EXPECT_EQ(count(changed), 2u);
    EXPECT_TRUE(find(list(call("$$audio_outputs")), "extra"));
    EXPECT_TRUE(find(list(call("$$audio_inputs")), "extra.monitor"));
    events.clear();
    ASSERT_TRUE(server.unload(extra));
    ASSERT_TRUE(pumpUntil([&] { return count(changed) >= 2; }, std::chrono::seconds(10)));
    until = Clock::now() + std::chrono::milliseconds(300);
    pumpUntil([&] { return Clock::now() >= until; });
    EXPECT_EQ(count(changed), 2u);
    EXPECT_FALSE(find(list(call("$$audio_outputs")), "extra"));
    EXPECT_TRUE(find(list(call("$$audio_outputs")), "testsink"));
}

TEST_F(PulseAudioTest, PlaybackReachesTheSinkAtTheRightPitchAndLevelThenStopsAndEnds) {
    test::writeToneWav(dir.file("tone.wav"), 44100, 1000.0, 0.5, 2.0);
    ASSERT_TRUE(playAndRecord("tone.wav", dir.file("take.wav")));
    std::string stop = bridge::joinEvent({"player", "stop", dir.file("tone.wav")});
    std::string eof = bridge::joinEvent({"player", "eof", dir.file("tone.wav")});
    auto s = std::find(events.begin(), events.end(), stop);
    auto e = std::find(events.begin(), events.end(), eof);
    ASSERT_NE(s, events.end());
    EXPECT_LT(s, e) << "stop comes before eof";
    EXPECT_TRUE(has(bridge::joinEvent({"recorder", "stop", dir.file("take.wav")})));
    EXPECT_EQ(call("$$player_status"), "d0");

    bool ok;
    auto take = test::decodeFile(dir.file("take.wav"), ok);
    ASSERT_TRUE(ok);
    int64_t audible = test::audibleFrames(take.samples, 2, 0.1);
    EXPECT_NEAR(static_cast<double>(audible), 2.0 * 44100, 0.3 * 44100);
    // Measure inside the tone, from its first loud frame.
    const int64_t start = firstLoudFrame(take, 8000);
    ASSERT_LT(start + 44100, take.frames());
    EXPECT_NEAR(test::zeroCrossingFrequency(take.samples, 2, 0, start + 4410, start + 44100, 44100),
                1000, 3);
    EXPECT_NEAR(test::medianBlockRms(take.samples, 2, 1, start + 4410, start + 44100),
                0.5 / std::sqrt(2.0), 0.02);
}

TEST_F(PulseAudioTest, VolumeFollowsTheCurve) {
    test::writeToneWav(dir.file("tone.wav"), 44100, 1000.0, 0.8, 1.0);
    ASSERT_TRUE(playAndRecord("tone.wav", dir.file("take.wav"), 1.0f, 0.5f));
    bool ok;
    auto take = test::decodeFile(dir.file("take.wav"), ok);
    ASSERT_TRUE(ok);
    const int64_t start = firstLoudFrame(take, 2000);
    ASSERT_LT(start + 22050, take.frames());
    double expected = 0.8 / std::sqrt(2.0) * 0.2973;
    EXPECT_NEAR(test::medianBlockRms(take.samples, 2, 0, start + 4410, start + 22050), expected,
                expected * 0.05);
}

// Speed changes the length of what is heard and keeps the pitch.
struct Speed {
    float speed;
    double toneSeconds, heardSeconds, slackSeconds;
};

class PulseAudioSpeedTest : public PulseAudioTest, public ::testing::WithParamInterface<Speed> {};

TEST_P(PulseAudioSpeedTest, ScalesTheLengthAndKeepsThePitch) {
    const Speed& p = GetParam();
    test::writeToneWav(dir.file("tone.wav"), 44100, 1000.0, 0.5, p.toneSeconds);
    ASSERT_TRUE(playAndRecord("tone.wav", dir.file("take.wav"), p.speed));
    bool ok;
    auto take = test::decodeFile(dir.file("take.wav"), ok);
    ASSERT_TRUE(ok);
    int64_t audible = test::audibleFrames(take.samples, 2, 0.1);
    EXPECT_NEAR(static_cast<double>(audible), p.heardSeconds * 44100, p.slackSeconds * 44100);
    const int64_t start = firstLoudFrame(take, 8000);
    EXPECT_NEAR(test::zeroCrossingFrequency(take.samples, 2, 0, start + 4410, start + 44100, 44100),
                1000, 15);
}

INSTANTIATE_TEST_SUITE_P(DoubleAndHalf, PulseAudioSpeedTest,
                         ::testing::Values(Speed{2.0f, 3.0, 1.5, 0.3}, Speed{0.5f, 1.0, 2.0, 0.4}));

TEST_F(PulseAudioTest, AacRecordingsFromTheMonitorAtEachBitRate) {
    test::writeToneWav(dir.file("tone.wav"), 44100, 500.0, 0.5, 30.0);
    ASSERT_EQ(call("$$player_device", std::string("testsink")), "stestsink");
    ASSERT_EQ(call("$$recorder_device", std::string("testsink.monitor")), "stestsink.monitor");
    ASSERT_EQ(call("$$player_open", std::string("tone.wav")), "b1");
    call("$$player_play");
    // A null sink that was idle wakes up only after its long idle block: wait for it to run.
    ASSERT_TRUE(waitForTime("$$player_time", 0.8));
    for (auto [code, rate] :
         std::vector<std::pair<int, int>>{{0, 256000}, {1, 192000}, {2, 128000}, {3, 64000}}) {
        std::string path = dir.file("take" + std::to_string(code) + ".m4a");
        ASSERT_EQ(call("$$recorder_create", path, std::to_string(code)), "b1");
        call("$$recorder_record");
        ASSERT_TRUE(waitForTime("$$recorder_time", 1.0));
        call("$$recorder_stop", std::string("1"));
        bool ok;
        auto take = test::decodeFile(path, ok);
        ASSERT_TRUE(ok) << path;
        EXPECT_EQ(take.codec, "aac");
        EXPECT_EQ(take.rate, 44100);
        EXPECT_GT(take.frames(), 44100 / 2) << code;
        EXPECT_NEAR(static_cast<double>(take.bitRate), rate, rate * 0.35) << code;
        EXPECT_NEAR(
            test::zeroCrossingFrequency(take.samples, 2, 0, 4410, take.frames() - 4410, 44100), 500,
            3)
            << code;
    }
    call("$$player_stop");
}

TEST_F(PulseAudioTest, AVanishedDeviceStartsNothingAndNeverHangs) {
    test::writeToneWav(dir.file("tone.wav"), 44100, 1000.0, 0.5, 1.0);
    int brief = server.loadSink("brief");
    ASSERT_GE(brief, 0);
    call("$$player_device", std::string("brief"));
    call("$$recorder_device", std::string("brief.monitor"));
    ASSERT_TRUE(server.unload(brief));
    ASSERT_EQ(call("$$player_open", std::string("tone.wav")), "b1");
    call("$$player_play");
    EXPECT_EQ(call("$$player_status"), "d0");
    ASSERT_EQ(call("$$recorder_create", dir.file("r.wav"), std::string("4")), "b1");
    call("$$recorder_record");
    EXPECT_EQ(call("$$recorder_status"), "d0");
    call("$$recorder_stop");
    bool ok;
    auto take = test::decodeFile(dir.file("r.wav"), ok);
    EXPECT_TRUE(ok) << "the file is finished even with nothing captured";
    EXPECT_EQ(take.frames(), 0);
    // The default device still works afterwards.
    call("$$player_device", std::string(""));
    call("$$player_play");
    EXPECT_EQ(call("$$player_status"), "d1");
    call("$$player_stop");
}

TEST_F(PulseAudioTest, AServerThatDiesStopsPlayerAndRecorderWithErrorsAndKeepsTheTake) {
    test::writeToneWav(dir.file("tone.wav"), 44100, 1000.0, 0.5, 20.0);
    ASSERT_EQ(call("$$player_device", std::string("testsink")), "stestsink");
    ASSERT_EQ(call("$$recorder_device", std::string("testsink.monitor")), "stestsink.monitor");
    ASSERT_EQ(call("$$recorder_create", dir.file("take.wav"), std::string("4")), "b1");
    ASSERT_EQ(call("$$player_open", std::string("tone.wav")), "b1");
    call("$$recorder_record");
    call("$$player_play");
    ASSERT_TRUE(waitForTime("$$recorder_time", 1.5));
    events.clear();
    server.kill();
    std::string tone = dir.file("tone.wav"), take = dir.file("take.wav");
    ASSERT_TRUE(pumpUntil([&] {
        return has(bridge::joinEvent({"player", "error", tone})) &&
               has(bridge::joinEvent({"recorder", "stop", take}));
    })) << ::testing::PrintToString(events);
    auto order = [&](const std::string& a, const std::string& b) {
        return std::find(events.begin(), events.end(), a) <
               std::find(events.begin(), events.end(), b);
    };
    EXPECT_TRUE(order(bridge::joinEvent({"player", "stop", tone}),
                      bridge::joinEvent({"player", "error", tone})));
    EXPECT_TRUE(order(bridge::joinEvent({"recorder", "error", take}),
                      bridge::joinEvent({"recorder", "stop", take})));
    EXPECT_EQ(call("$$player_status"), "d0");
    EXPECT_EQ(call("$$recorder_status"), "d0");
    EXPECT_EQ(call("$$audio_outputs"), "s[]");
    call("$$player_play");  // no server: nothing starts, nothing hangs
    EXPECT_EQ(call("$$player_status"), "d0");
    bool ok;
    auto recorded = test::decodeFile(take, ok);
    ASSERT_TRUE(ok);
    EXPECT_GT(recorded.frames(), 44100) << "what was captured before the server died is kept";
}
