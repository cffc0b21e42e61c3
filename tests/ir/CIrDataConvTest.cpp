// The conversion job and its commands: loading, refusals, events, busy, cancel, progress.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "bridge/BridgeText.h"
#include "bridge/NativeCall.h"
#include "bridge/NotificationCenter.h"
#include "host/Locations.h"
#include "host/NativeControl.h"
#include "ir/CIrDataConv.h"
#include "ir/IrCommands.h"
#include "ir/SynthIr.h"
#include "support/TestServices.h"

using namespace lumetta;
using namespace lumetta::ir;
using Clock = std::chrono::steady_clock;
namespace synth = lumetta::ir::test;

namespace {

// Collects the "convert" command events the job posts to every page.
class ConvertEvents {
  public:
    ConvertEvents() {
        token_ = bridge::NotificationCenter::defaultCenter().observe(
            bridge::note::postEvent, [this](const std::string& event) {
                const auto fields = split(event);
                if (fields.size() != 4 || fields[2] != "convert") return;
                std::lock_guard guard(lock_);
                events_.push_back(nlohmann::json::parse(fields[3]));
                arrived_.notify_all();
            });
    }
    /// The next event, or null after `seconds`.
    nlohmann::json next(double seconds) {
        std::unique_lock guard(lock_);
        arrived_.wait_for(guard, std::chrono::duration<double>(seconds),
                          [&] { return !events_.empty(); });
        if (events_.empty()) return nullptr;
        auto e = events_.front();
        events_.erase(events_.begin());
        return e;
    }

  private:
    static std::vector<std::string> split(const std::string& s) {
        std::vector<std::string> out(1);
        for (char c : s) {
            if (c == '\f')
                out.emplace_back();
            else
                out.back().push_back(c);
        }
        return out;
    }
    std::mutex lock_;
    std::condition_variable arrived_;
    std::vector<nlohmann::json> events_;
    bridge::NotificationCenter::Token token_;
};

class ConvJob : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const std::string runtime = synth::tempDir() + "runtime";
        ::mkdir(runtime.c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        static bool registered = false;
        if (!registered) registerIrCommands();
        registered = true;
    }
    void TearDown() override {
        CIrDataConv::getInstance().SetCancel(1);
        CIrDataConv::getInstance().wait();
    }
    static std::string outputPath() { return *host::temporaryDirectory() + "KLD00000.tmp"; }
    static bool run(const nlohmann::json& args, nlohmann::json& result) {
        result = nlohmann::json::object();
        return convertCommand(nullptr, args, result);
    }
    static std::string cabinetFile(const char* name, int rate, double seconds, uint32_t channels) {
        FitParams p = synth::threeSections(90, 1.0, 900, 1.2, -6, 4000, 0.7, -30);
        auto h = synth::modelImpulse(p, rate, static_cast<int64_t>(rate * seconds));
        std::vector<double> in;
        for (double v : h)
            for (uint32_t c = 0; c < channels; ++c) in.push_back(0.5 * v * (c ? 0.1 : 1.0));
        return synth::writeTemp(name, synth::wavFile(in, static_cast<uint16_t>(channels),
                                                     static_cast<uint32_t>(rate), 24, false));
    }
    ConvertEvents events;
};

// Only against hanging: far above any run here, even under ThreadSanitizer on a busy machine.
constexpr std::chrono::duration<double> kHangGuard{60.0};

off_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

}  // namespace

TEST(ConvJobState, ProgressBeforeAnyConversionIsOne) {
    CIrDataConv conv;
    EXPECT_EQ(conv.GetProgress(), 1);
    EXPECT_EQ(conv.GetProgress(), 1);
}

TEST(ConvJobState, ConvertRefusesWhatItCannotAnalyse) {
    CIrDataConv conv;
    EXPECT_EQ(conv.Convert(""), 0);
    EXPECT_EQ(conv.Convert(synth::tempDir() + "missing.wav"), -1);
    std::vector<double> three(30, 0.1);
    EXPECT_EQ(
        conv.Convert(synth::writeTemp("three.wav", synth::wavFile(three, 3, 48000, 16, false))),
        -1);
    auto rate0 =
        synth::riffFile({synth::fmtChunk(1, 1, 0, 16), synth::Chunk{"data", {1, 2, 3, 4}}});
    EXPECT_EQ(conv.Convert(synth::writeTemp("rate0.wav", rate0)), -1);
    EXPECT_EQ(
        conv.Convert(synth::writeTemp("f64.wav", synth::wavFile({0.1, 0.2}, 1, 48000, 64, true))),
        -1);
    const double nan = std::nan("");
    EXPECT_EQ(
        conv.Convert(synth::writeTemp("nan.wav", synth::wavFile({0.1, nan}, 1, 48000, 32, true))),
        -1);
    EXPECT_EQ(
        conv.Convert(synth::writeTemp("ok.wav", synth::wavFile({0.1, 0.2}, 2, 48000, 16, false))),
        1);
    EXPECT_EQ(conv.state().channels, 2u);
    EXPECT_EQ(conv.state().sampleCount, 1);
}

TEST(ConvJobState, OnlyTheUsableFramesAreLoaded) {
    CIrDataConv conv;
    std::vector<double> longIr(100000, 0.01);
    ASSERT_EQ(
        conv.Convert(synth::writeTemp("long.wav", synth::wavFile(longIr, 1, 44100, 16, false))), 1);
    EXPECT_EQ(conv.state().sampleCount, 15053);
    EXPECT_EQ(conv.state().samples.size(), 15053u);
}

TEST(ConvJobState, StereoIsAnalysedOnItsLeftChannel) {
    CIrDataConv mono, stereo;
    mono.setThreads(2);
    stereo.setThreads(2);
    std::vector<double> l(300), both;
    for (size_t i = 0; i < l.size(); ++i) {
        l[i] = std::exp(-0.02 * i) * std::cos(0.3 * i);
        both.push_back(l[i]);
        both.push_back(std::sin(0.7 * i));
    }
    ASSERT_EQ(mono.Convert(synth::writeTemp("l.wav", synth::wavFile(l, 1, 44100, 32, true))), 1);
    ASSERT_EQ(stereo.Convert(synth::writeTemp("lr.wav", synth::wavFile(both, 2, 44100, 32, true))),
              1);
    ASSERT_TRUE(mono.IirCalc());
    ASSERT_TRUE(stereo.IirCalc());
    EXPECT_EQ(mono.state().sections, stereo.state().sections);
    EXPECT_EQ(mono.state().sparse, stereo.state().sparse);
    EXPECT_TRUE(mono.state().samples.empty());  // released after the preparation
}

TEST_F(ConvJob, PathRunsInTheBackgroundAndAnnouncesTheFile) {
    const std::string out = outputPath();
    std::remove(out.c_str());
    const std::string in = cabinetFile("job.wav", 48000, 0.05, 2);
    nlohmann::json result;
    ASSERT_TRUE(run({{"path", in}, {"ch", 1}}, result));
    EXPECT_TRUE(result.empty());
    int last = 0;
    nlohmann::json e;
    const auto guard = Clock::now() + kHangGuard;
    while ((e = events.next(0.01)).is_null()) {
        ASSERT_LT(Clock::now(), guard) << "no outcome";
        nlohmann::json r;
        ASSERT_TRUE(run({{"req", "progress"}}, r));
        const int p = r["progress"].get<int>();
        EXPECT_GE(p, last) << "progress went down";
        EXPECT_LE(p, 100);
        last = p;
    }
    EXPECT_EQ(e["result"], 1);
    EXPECT_EQ(e["load"], "finished");
    EXPECT_EQ(e["path"], out);
    const off_t size = fileSize(out);
    ASSERT_GT(size, 0);
    EXPECT_EQ(size % 4, 0);
    const off_t floats = size / 4;
    EXPECT_GE(floats, 55);
    EXPECT_EQ((floats - 55) % 2, 0);
    EXPECT_LE(floats, 55 + 64);
    nlohmann::json r;
    ASSERT_TRUE(run({{"req", "progress"}}, r));
    EXPECT_EQ(r["progress"], 100);
}

TEST_F(ConvJob, LoadFailuresAreReportedInTheResult) {
    nlohmann::json result;
    EXPECT_FALSE(run({{"path", synth::tempDir() + "nothing.wav"}}, result));
    EXPECT_EQ(result["load"], "unsupported");
    std::vector<double> three(30, 0.1);
    EXPECT_FALSE(
        run({{"path", synth::writeTemp("three2.wav", synth::wavFile(three, 3, 48000, 16, false))}},
            result));
    EXPECT_EQ(result["load"], "unsupported");
    EXPECT_FALSE(run({{"path", ""}}, result));
    EXPECT_FALSE(run({{"other", 1}}, result));
    EXPECT_FALSE(run(nlohmann::json(), result));
    EXPECT_FALSE(run({{"req", "nonsense"}}, result));
    EXPECT_TRUE(events.next(0.05).is_null());
}

TEST_F(ConvJob, SecondPathWhileRunningIsRefusedAsBusy) {
    const std::string in = cabinetFile("busy.wav", 44100, 0.3, 1);
    nlohmann::json result;
    ASSERT_TRUE(run({{"path", in}}, result));
    EXPECT_FALSE(run({{"path", in}}, result));
    EXPECT_EQ(result["load"], "busy");
    auto e = events.next(60);
    ASSERT_FALSE(e.is_null());
    EXPECT_EQ(e["load"], "finished");
}

// How long cancelling takes is measured by lumetta-ir-bench; here only what it leaves behind.
TEST_F(ConvJob, CancelEndsWithAbortedLeavesNoFileAndNothingRunningOn) {
    const std::string out = outputPath();
    const std::string in = cabinetFile("cancel.wav", 96000, 0.3, 2);
    // At once, during the preparation, and during the resonator search.
    for (int progressAtCancel : {0, 2, 40}) {
        SCOPED_TRACE("cancelled at progress " + std::to_string(progressAtCancel));
        std::remove(out.c_str());
        nlohmann::json result;
        ASSERT_TRUE(run({{"path", in}}, result));
        const auto guard = Clock::now() + kHangGuard;
        int progress = 0;
        while (progress < progressAtCancel && Clock::now() < guard) {
            ASSERT_TRUE(run({{"req", "progress"}}, result));
            progress = result["progress"].get<int>();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_LT(progress, 100) << "the job ended before it could be cancelled";
        ASSERT_TRUE(run({{"req", "cancel"}}, result));
        auto e = events.next(kHangGuard.count());
        ASSERT_FALSE(e.is_null()) << "no outcome";
        EXPECT_EQ(e["result"], 1);
        EXPECT_EQ(e["cancel"], "aborted");
        EXPECT_FALSE(e.contains("load"));
        CIrDataConv::getInstance().wait();
        EXPECT_FALSE(CIrDataConv::getInstance().isRunning());
        EXPECT_EQ(fileSize(out), -1);
        EXPECT_TRUE(events.next(0.05).is_null()) << "a second outcome";
    }
    // Cancelled runs leave the job free for the next file.
    nlohmann::json result;
    ASSERT_TRUE(run({{"path", cabinetFile("after.wav", 48000, 0.05, 1)}}, result));
    auto e = events.next(kHangGuard.count());
    ASSERT_FALSE(e.is_null());
    EXPECT_EQ(e["load"], "finished");
    EXPECT_GT(fileSize(out), 0);
}

TEST_F(ConvJob, CommandsRunThroughTheNativeControlTable) {
    lumetta::test::TestHost host;
    bridge::NativeCall native(host.services, {});
    std::vector<std::string> posted;
    auto token = host.center.observe(bridge::note::postEvent,
                                     [&](const std::string& event) { posted.push_back(event); });
    const std::string in = synth::writeTemp(
        "viacontrol.wav", synth::wavFile({0.1, 0.2, 0.3, 0.4}, 2, 44100, 16, false));
    host::NativeControl::proc(native, "wavstat:{\"path\":\"" + in + "\"}", nullptr);
    host::NativeControl::proc(native, "convert:{\"req\":\"progress\"}", nullptr);
    host::NativeControl::proc(native, "wavstat:{\"path\":\"/nonexistent.wav\"}", nullptr);
    ASSERT_EQ(posted.size(), 3u);
    EXPECT_EQ(posted[0].rfind("app\fcommand\fwavstat\f", 0), 0u);
    auto stat = nlohmann::json::parse(posted[0].substr(posted[0].rfind('\f') + 1));
    EXPECT_EQ(stat["result"], 1);
    EXPECT_EQ(stat["samples"], 2);
    auto progress = nlohmann::json::parse(posted[1].substr(posted[1].rfind('\f') + 1));
    EXPECT_EQ(progress["result"], 1);
    EXPECT_TRUE(progress.contains("progress"));
    auto failed = nlohmann::json::parse(posted[2].substr(posted[2].rfind('\f') + 1));
    EXPECT_EQ(failed["result"], 0);
}

TEST(ConvJobState, UnwritableOutputIsReportedAsAFailureNotAsFinished) {
    CIrDataConv conv;
    std::mutex lock;
    std::condition_variable arrived;
    nlohmann::json got;
    conv.setTemporaryDirectory(
        [] { return std::optional<std::string>(synth::tempDir() + "no/such/dir/"); });
    conv.setEventSink([&](const nlohmann::json& d) {
        std::lock_guard guard(lock);
        got = d;
        arrived.notify_all();
    });
    ASSERT_EQ(conv.Convert(synth::writeTemp(
                  "small.wav", synth::wavFile({0.5, 0.25, -0.1}, 1, 48000, 16, false))),
              1);
    ASSERT_TRUE(conv.Calc(0));
    conv.wait();
    std::unique_lock guard(lock);
    arrived.wait_for(guard, std::chrono::seconds(10), [&] { return !got.is_null(); });
    EXPECT_EQ(got["result"], 0);
    EXPECT_EQ(got["load"], "failed");
    EXPECT_FALSE(conv.isRunning());
}

TEST(ConvJobState, ANewRunStartsItsProgressAfresh) {
    CIrDataConv conv;
    conv.setTemporaryDirectory([] { return std::optional<std::string>(synth::tempDir()); });
    const std::string in =
        synth::writeTemp("afresh.wav", synth::wavFile({0.5, 0.25, -0.1}, 1, 48000, 16, false));
    ASSERT_EQ(conv.Convert(in), 1);
    ASSERT_TRUE(conv.Calc(0));
    conv.wait();
    EXPECT_EQ(conv.GetProgress(), 100);
    ASSERT_EQ(conv.Convert(in), 1);
    conv.SetCancel(1);  // the run ends before any analysis
    ASSERT_TRUE(conv.Calc(0));
    conv.wait();
    EXPECT_EQ(conv.GetProgress(), 1) << "the last run's figure";
}

TEST(ConvJobState, NeutralFileIsWritten) {
    CIrDataConv conv;
    const std::string path = synth::tempDir() + "neutral.prm";
    ASSERT_TRUE(conv.SaveInitPrm(path));
    EXPECT_EQ(fileSize(path), 119 * 4);
}
