// The fast fit against the literal reference, recovery of known filters, the tap rule.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <random>
#include <thread>

#include "ir/IrFit.h"
#include "ir/IrPrepare.h"
#include "ir/ReferenceIr.h"
#include "ir/SynthIr.h"

using namespace lumetta::ir;

namespace {

std::string describe(const FitParams& p) {
    char buf[512];
    std::snprintf(
        buf, sizeof buf,
        "HP %d %.0f %.2f | PK %d %.0f %.2f %.0f | HS %d %.0f %.2f %.0f | R %d/%.0f/%.0f/%.0f "
        "%d/%.0f/%.0f/%.0f %d/%.0f/%.0f/%.0f %d/%.0f/%.0f/%.0f",
        p.hpOn, p.hpF, p.hpQ, p.pkOn, p.pkF, p.pkQ, p.pkD, p.hsOn, p.hsF, p.hsQ, p.hsD,
        p.resMode[0], p.resF[0], p.resMs[0], p.resD[0], p.resMode[1], p.resF[1], p.resMs[1],
        p.resD[1], p.resMode[2], p.resF[2], p.resMs[2], p.resD[2], p.resMode[3], p.resF[3],
        p.resMs[3], p.resD[3]);
    return buf;
}

// Reference and engine on the same target must write the same file. Returns the engine's
// count of resonator pairs it stopped summing early.
int64_t expectSameFit(const std::vector<double>& target, bool boost, const std::string& what) {
    const FitResult ref = reference::fit(target, boost);
    IrControl control;
    FitResult fast;
    EXPECT_TRUE(fitFilters(target, boost, fast, control, 2)) << what;
    EXPECT_EQ(describe(fast.params), describe(ref.params)) << what;
    EXPECT_EQ(fast.trace.searchBest, ref.trace.searchBest) << what;
    EXPECT_EQ(fast.bestError, ref.bestError) << what;
    EXPECT_EQ(parameterFloats(fast), parameterFloats(ref)) << what;
    return fast.trace.droppedPairs;
}

FitParams cabinet() {
    FitParams p = test::threeSections(110, 1.1, 1200, 1.5, -8, 3500, 0.8, -42);
    return p;
}

std::vector<double> prepared(const std::vector<double>& interleaved, uint32_t channels, int rate,
                             bool* boost) {
    IrControl c;
    PreparedTarget p;
    prepareTarget(interleaved.data(), channels, rate,
                  static_cast<int64_t>(interleaved.size() / channels), p, c, 2);
    *boost = p.boost;
    return p.target;
}

// The stage a finished fit reports.
constexpr uint32_t kStageDone = 15;
// Work a cancelled fit may still finish, in progress steps: the block each thread is in. A fit
// that looked only between stages would run on for hundreds.
constexpr uint32_t kFewSteps = 16;

}  // namespace

TEST(FitEquivalence, SyntheticTargetsGiveTheReferenceFile) {
    struct Case {
        const char* name;
        int rate;
        int frames;
        uint32_t channels;
        double scale;
    };
    const Case cases[] = {
        {"48k mono", 48000, 200, 1, 1.0},
        {"44.1k stereo", 44100, 180, 2, 0.5},
        {"96k mono", 96000, 380, 1, 1.0},
        {"very short", 48000, 5, 1, 1.0},
    };
    FitParams p = cabinet();
    p.resMode = {1, 0, 0, 0};
    p.resF = {300, 0, 0, 0};
    p.resMs = {20, 0, 0, 0};
    p.resD = {-6, 0, 0, 0};
    for (const Case& c : cases) {
        auto h = test::modelImpulse(p, c.rate, c.frames);
        std::vector<double> in;
        for (double v : h)
            for (uint32_t ch = 0; ch < c.channels; ++ch)
                in.push_back(v * c.scale * (ch ? -0.3 : 1.0));
        bool boost = false;
        auto target = prepared(in, c.channels, c.rate, &boost);
        expectSameFit(target, boost, c.name);
    }
}

TEST(FitEquivalence, BoostPathGivesTheReferenceFile) {
    FitParams p;
    p.hpOn = true;
    p.hpF = 150;
    p.hpQ = 0.7;
    p.hsOn = true;
    p.hsF = 2500;
    p.hsQ = 0.7;
    p.hsD = 24;  // a strong lift: the high band rises above +4 dB
    auto h = test::modelImpulse(p, 48000, 260);
    bool boost = false;
    auto target = prepared(h, 1, 48000, &boost);
    ASSERT_TRUE(boost);
    expectSameFit(target, boost, "boost");
}

TEST(FitEquivalence, NoiseAndSilenceGiveTheReferenceFile) {
    std::mt19937 gen(11);
    std::normal_distribution<double> d(0.0, 1.0);
    std::vector<double> noise(180);
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = d(gen) * std::exp(-0.01 * static_cast<double>(i));
    bool boost = false;
    auto target = prepared(noise, 1, 48000, &boost);
    expectSameFit(target, boost, "noise");
    std::vector<double> silence(150, 0.0);
    target = prepared(silence, 1, 44100, &boost);
    expectSameFit(target, boost, "silence");
}

// Long enough for the later resonator searches to stop summing pairs that cannot win early:
// they must still end where the reference's exhaustive scan does.
TEST(FitEquivalence, ResonatorPairsDroppedEarlyChangeNothing) {
    FitParams p = cabinet();
    p.resMode = {1, 2, 1, 0};
    p.resF = {118, 240, 87, 0};
    p.resMs = {50, 20, 110, 0};
    p.resD = {-7, -12, -15, 0};
    std::vector<double> target = test::modelImpulse(p, 48000, 1100);
    std::mt19937 gen(5);
    std::normal_distribution<double> d(0.0, 1e-3);
    for (double& v : target) v += d(gen);
    EXPECT_GT(expectSameFit(target, false, "resonant"), 0);
}

TEST(FitRecovery, HighPassAloneIsFoundOnItsGrid) {
    FitParams p;
    p.hpOn = true;
    p.hpF = 60;
    p.hpQ = 0.8;
    auto target = test::modelImpulse(p, 48000, 9600);
    IrControl c;
    FitResult r;
    ASSERT_TRUE(fitFilters(target, false, r, c, 2));
    EXPECT_TRUE(r.params.hpOn);
    EXPECT_NEAR(r.params.hpF, 60, 1.0) << describe(r.params);
    EXPECT_NEAR(r.params.hpQ, 0.8, 0.1 + 1e-9) << describe(r.params);
    EXPECT_LT(r.bestError, 1e-6);
}

// The fit on targets that are the model's own response: the prepared target of a real file
// is normalised between 200 and 300 Hz, which the model (no overall gain) cannot follow, so
// recovery is checked on the fit alone.
FitParams flatHighPass() {
    FitParams p;
    p.hpOn = true;
    p.hpF = 40;
    p.hpQ = 0.7;
    return p;
}

FitResult fitOf(const FitParams& p) {
    auto target = test::modelImpulse(p, 48000.0, 9600);
    IrControl c;
    FitResult r;
    EXPECT_TRUE(fitFilters(target, false, r, c, 2));
    return r;
}

// A shelf or a peak on top of the high-pass is found within its grid step, the high-pass too.
TEST(FitRecovery, ShelfOrPeakIsFoundWithinItsGridStep) {
    const struct {
        bool FitParams::*on;
        double FitParams::*f;
        double FitParams::*q;
        double FitParams::*d;
        double fValue, qValue, dValue, fStep, dStep;
    } sections[] = {
        {&FitParams::hsOn, &FitParams::hsF, &FitParams::hsQ, &FitParams::hsD, 5000, 0.8, -36, 100,
         3},
        {&FitParams::pkOn, &FitParams::pkF, &FitParams::pkQ, &FitParams::pkD, 1500, 2.0, -9, 50, 1},
    };
    for (const auto& s : sections) {
        FitParams p = flatHighPass();
        p.*s.on = true;
        p.*s.f = s.fValue;
        p.*s.q = s.qValue;
        p.*s.d = s.dValue;
        const FitResult r = fitOf(p);
        SCOPED_TRACE(describe(r.params));
        EXPECT_TRUE(r.params.*s.on);
        EXPECT_NEAR(r.params.*s.f, s.fValue, s.fStep);
        EXPECT_NEAR(r.params.*s.q, s.qValue, 0.1 + 1e-9);
        EXPECT_NEAR(r.params.*s.d, s.dValue, s.dStep);
        EXPECT_NEAR(r.params.hpF, p.hpF, 1.0);
        EXPECT_NEAR(r.params.hpQ, p.hpQ, 0.1 + 1e-9);
    }
}

TEST(FitRecovery, ResonatorIsFoundWithinItsGridStep) {
    FitParams p = flatHighPass();
    p.resMode = {2, 0, 0, 0};
    p.resF = {310, 0, 0, 0};
    p.resMs = {35, 0, 0, 0};
    p.resD = {-24, 0, 0, 0};
    const FitResult r = fitOf(p);
    SCOPED_TRACE(describe(r.params));
    EXPECT_EQ(r.params.resMode[0], 2);
    EXPECT_NEAR(r.params.resF[0], 310, 1.0);
    EXPECT_NEAR(r.params.resMs[0], 35, 15.0);
    EXPECT_NEAR(r.params.resD[0], -24, 1.0);
}

// A pure impulse: the high-pass search ends on its grid point of least error. The resonators
// are not necessarily off: the best high-pass still misses the impulse at low frequencies and
// a resonance there takes some of that error back.
TEST(FitRecovery, PureImpulseStartsFromTheHighPassOfLeastError) {
    std::vector<double> impulse(200, 0.0);
    impulse[0] = 1.0;
    IrControl c;
    FitResult r;
    ASSERT_TRUE(fitFilters(impulse, false, r, c, 2));
    // The first search ends on the high-pass grid point of least error.
    double best = 1e300;
    for (int fi = 0; fi < grid::hpF.count; ++fi)
        for (int qi = 0; qi < grid::hpQ.count; ++qi) {
            const Biquad s = highPass(grid::hpF[fi], grid::hpQ[qi]);
            std::vector<double> y(impulse.size());
            double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
            for (size_t n = 0; n < impulse.size(); ++n) {
                y[n] = s.b0 * impulse[n] + s.b1 * x1 + s.b2 * x2 + s.c1 * y1 + s.c2 * y2;
                x2 = x1;
                x1 = impulse[n];
                y2 = y1;
                y1 = y[n];
            }
            best = std::min(best, reference::biquadError(impulse, y));
        }
    EXPECT_EQ(r.trace.searchBest.front(), best);
    const FitResult ref = reference::fit(impulse, false);
    EXPECT_TRUE(ref.params == r.params);
    EXPECT_EQ(parameterFloats(ref), parameterFloats(r));
}

TEST(SparseTaps, FewerThan32ValuesAllSurvive) {
    std::vector<double> v(100, 0.0);
    v[0] = 1.0;
    v[3] = 1e-3;
    v[6] = -1e-9;
    const double t = tapThreshold(v);
    EXPECT_LT(t, 1e-9);
    keepTaps(v, 100, t);
    EXPECT_EQ(v[0], 1.0);
    EXPECT_EQ(v[3], 1e-3);
    EXPECT_EQ(v[6], -1e-9);
}

TEST(SparseTaps, EqualMagnitudesStillGiveAtMost32Taps) {
    std::vector<double> v(300, 0.0);
    for (int i = 0; i < 40; ++i) v[static_cast<size_t>(3 * i)] = (i % 2) ? 0.25 : -0.25;
    keepTaps(v, 300, tapThreshold(v));
    int alive = 0;
    for (double x : v) alive += x != 0.0;
    EXPECT_EQ(alive, 32);
    EXPECT_NE(v[0], 0.0);    // the earlier ones stay
    EXPECT_EQ(v[117], 0.0);  // the 40th does not
}

TEST(SparseTaps, NaNValuesNeverCount) {
    std::vector<double> v(99, 0.0);
    v[0] = std::nan("");
    v[3] = 0.75;
    keepTaps(v, 99, tapThreshold(v));
    EXPECT_EQ(v[0], 0.0);
    EXPECT_EQ(v[3], 0.75);
}

TEST(SparseTaps, ExactlyThirtyTwoAboveHalfStopAtOnce) {
    std::vector<double> v(200, 0.0);
    for (int i = 0; i < 32; ++i) v[static_cast<size_t>(3 * i)] = 0.9;
    v[150] = 0.1;
    EXPECT_EQ(tapThreshold(v), 0.5);
}

// How long the fit takes to stop is measured by lumetta-ir-bench. Here: wherever the cancel
// lands, the fit gives up within a few steps of work, not at the end of its stage.
TEST(FitControl, CancelStopsTheFitWithinAFewSteps) {
    FitParams p = cabinet();
    auto target = test::modelImpulse(p, 48000, 16384);
    IrControl whole;
    FitResult full;
    ASSERT_TRUE(fitFilters(target, false, full, whole, 2));
    const uint32_t total = whole.stepCount.load();
    ASSERT_GT(total, 1000u);
    // In the section searches, then in the first and second resonator searches.
    for (uint32_t at : {1u, 100u, total / 4, total / 2}) {
        SCOPED_TRACE("cancelled at step " + std::to_string(at) + " of " + std::to_string(total));
        IrControl c;
        FitResult r;
        uint32_t stepsAtCancel = 0;
        std::thread canceller([&] {
            // Polls far faster than the fit's remaining half takes, even on a loaded machine.
            while (c.stepCount.load() < at && c.stage.load() != kStageDone)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            c.cancel.store(1);
            stepsAtCancel = c.stepCount.load();
        });
        EXPECT_FALSE(fitFilters(target, false, r, c, 2));
        canceller.join();
        EXPECT_LE(c.stepCount.load() - stepsAtCancel, kFewSteps);
    }
}
