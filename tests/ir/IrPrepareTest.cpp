// The preparation: truncation, resampling, minimum phase, the 30 Hz extension, normalisation
// and the boost flag; the fast resampling against the literal sum.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <numeric>
#include <random>

#include "ir/CFFT.h"
#include "ir/IrPrepare.h"
#include "ir/ReferenceIr.h"
#include "ir/SynthIr.h"

using namespace lumetta::ir;

namespace {

std::vector<double> decaying(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> d(0.0, 1.0);
    std::vector<double> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = d(gen) * std::exp(-static_cast<double>(i) / (0.1 * n));
    return v;
}

std::vector<double> magnitudes(const std::vector<double>& x, size_t n) {
    std::vector<double> out(n / 2 + 1);
    for (size_t k = 0; k <= n / 2; ++k) {
        std::complex<double> s = 0;
        for (size_t j = 0; j < x.size(); ++j) {
            const double a =
                -2.0 * std::numbers::pi * static_cast<double>((j * k) % n) / static_cast<double>(n);
            s += x[j] * std::complex<double>(std::cos(a), std::sin(a));
        }
        out[k] = std::abs(s);
    }
    return out;
}

double maxRelativeDifference(const std::vector<double>& a, const std::vector<double>& b) {
    double peak = 0, diff = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        peak = std::max(peak, std::fabs(a[i]));
        diff = std::max(diff, std::fabs(a[i] - b[i]));
    }
    return peak > 0 ? diff / peak : diff;
}

}  // namespace

TEST(Prepare, TruncationLengthFollowsTheRate) {
    EXPECT_EQ(usableFrames(44100, 20000), 15053);  // 44100 * 16384 / 48000 + 0.5
    EXPECT_EQ(usableFrames(48000, 20000), 16384);
    EXPECT_EQ(usableFrames(48000, 100), 100);
    EXPECT_EQ(usableFrames(96000, 40000), 32768);
    EXPECT_EQ(usableFrames(192000, 100000), 32768);  // never past the work buffers
    EXPECT_EQ(usableFrames(44100, 0), 0);
}

TEST(Prepare, FortyFourKilohertzFileIsTruncatedBeforeResampling) {
    std::vector<double> x = decaying(20000, 1);
    IrControl c;
    PreparedTarget p;
    ASSERT_TRUE(prepareTarget(x.data(), 1, 44100, 20000, p, c, 2));
    EXPECT_EQ(p.sampleCount, 15053);
    EXPECT_EQ(p.resampledLength, 16384);  // 15053 * 48000 / 44100 + 0.5
    EXPECT_EQ(p.target.size(), 16384u);
}

TEST(Prepare, FortyEightKilohertzSkipsResamplingAndMinimumPhase) {
    std::vector<double> x = decaying(700, 2);
    IrControl c;
    PreparedTarget p;
    ASSERT_TRUE(prepareTarget(x.data(), 1, 48000, 700, p, c, 2));
    PreparedTarget direct;
    buildTarget(x.data(), 700, direct, nullptr);
    EXPECT_EQ(p.target, direct.target);
    EXPECT_EQ(p.boost, direct.boost);
    auto ref = reference::prepare(x.data(), 1, 48000, 700);
    EXPECT_EQ(p.target, ref.target);
}

TEST(Prepare, StereoUsesTheFirstChannel) {
    std::vector<double> left = decaying(500, 3), right = decaying(500, 4), both;
    for (size_t i = 0; i < 500; ++i) {
        both.push_back(left[i]);
        both.push_back(right[i]);
    }
    IrControl c;
    PreparedTarget mono, stereo;
    ASSERT_TRUE(prepareTarget(left.data(), 1, 44100, 500, mono, c, 2));
    ASSERT_TRUE(prepareTarget(both.data(), 2, 44100, 500, stereo, c, 2));
    EXPECT_EQ(mono.target, stereo.target);
}

TEST(Prepare, MinimumPhaseKeepsTheMagnitudeSpectrum) {
    // Zeros outside the unit circle: mixed phase, and short enough that nothing is cut off.
    std::vector<double> x = {1.0, -2.5, 1.0, 0.0, 0.0, 0.0};
    std::vector<double> y = x;
    minimumPhase(y.data(), static_cast<int64_t>(y.size()), nullptr);
    auto mx = magnitudes(x, 64), my = magnitudes(y, 64);
    for (size_t k = 0; k < mx.size(); ++k) EXPECT_NEAR(my[k], mx[k], 1e-6 * mx[0] + 1e-6) << k;
    // Minimum phase puts the energy first.
    EXPECT_GT(std::fabs(y[0]), std::fabs(x[0]));
    auto ry = x;
    reference::minimumPhase(ry.data(), static_cast<int64_t>(ry.size()));
    EXPECT_EQ(ry, y);
}

TEST(Prepare, BinsBelowThirtyHertzFallTwelveDecibelsPerOctave) {
    const int64_t size = 1 << 14;  // bin spacing 2.9 Hz
    std::vector<double> data(static_cast<size_t>(size));
    for (auto& v : data) v = 1.0;
    extendBelow30Hz(data.data(), size);
    const double df = 48000.0 / static_cast<double>(size);
    const int64_t k30 = static_cast<int64_t>(std::ceil(30.0 / df));
    EXPECT_EQ(data[2 * k30], 1.0);
    for (int64_t k = 1; k < k30; ++k) {
        const double want = (k * df / 30.0) * (k * df / 30.0);
        EXPECT_DOUBLE_EQ(data[2 * k], want);
        EXPECT_DOUBLE_EQ(data[2 * k + 1], want);
    }
    // An octave lower is a quarter.
    EXPECT_NEAR(data[2 * 5] / data[2 * 10], 0.25, 1e-12);
    EXPECT_EQ(data[0], 1.0);
    EXPECT_EQ(data[1], 1.0);
}

TEST(Prepare, NormalisationMakesTheMeanBetween200And300HzOne) {
    std::vector<double> x = decaying(600, 5);
    for (auto& v : x) v *= 37.0;
    PreparedTarget p;
    buildTarget(x.data(), 600, p, nullptr);
    // The target's own spectrum (it is minimum phase and decays within its length).
    const size_t n = 1 << 15;
    std::vector<double> buf(n, 0.0);
    std::copy(p.target.begin(), p.target.end(), buf.begin());
    CFFT f(10);
    f.configure(15, CFFT::Forward, true);
    f.realTransform(buf.data());
    const int64_t k1 = static_cast<int64_t>(0.004166666666666667 * n + 0.5);
    const int64_t k2 = static_cast<int64_t>(0.00625 * n + 0.5);
    double mean = 0;
    for (int64_t k = k1; k < k2; ++k) mean += std::hypot(buf[2 * k], buf[2 * k + 1]);
    mean /= static_cast<double>(k2 - k1);
    EXPECT_NEAR(mean, 1.0, 0.05);
}

TEST(Prepare, SilentInputGivesZerosWithoutNaN) {
    std::vector<double> zeros(3000, 0.0);
    for (int rate : {48000, 44100, 96000}) {
        IrControl c;
        PreparedTarget p;
        ASSERT_TRUE(prepareTarget(zeros.data(), 1, rate, 3000, p, c, 2)) << rate;
        EXPECT_FALSE(p.boost);
        for (double v : p.target) ASSERT_TRUE(std::isfinite(v)) << rate;
        for (double v : p.target) EXPECT_LT(std::fabs(v), 1e-30) << rate;
    }
    IrControl c;
    PreparedTarget none;
    ASSERT_TRUE(prepareTarget(nullptr, 1, 44100, 0, none, c, 2));
    EXPECT_EQ(none.sampleCount, 1);
    EXPECT_GE(none.target.size(), 1u);
}

TEST(Prepare, VeryShortInputsAtHighRatesKeepOneSample) {
    std::vector<double> one = {0.5};
    IrControl c;
    PreparedTarget p;
    ASSERT_TRUE(prepareTarget(one.data(), 1, 192000, 1, p, c, 1));
    EXPECT_EQ(p.resampledLength, 1);
    ASSERT_EQ(p.target.size(), 1u);
    EXPECT_TRUE(std::isfinite(p.target[0]));
}

TEST(Prepare, FastResamplingMatchesTheLiteralSum) {
    for (int rate : {44100, 96000, 32000, 88200, 22050, 44101, 8000}) {
        std::vector<double> x = decaying(900, 9);
        IrControl c;
        PreparedTarget p;
        ASSERT_TRUE(prepareTarget(x.data(), 1, rate, 900, p, c, 2));
        auto ref = reference::prepare(x.data(), 1, rate, 900);
        ASSERT_EQ(p.target.size(), ref.target.size()) << rate;
        EXPECT_LT(maxRelativeDifference(p.target, ref.target), 1e-9) << rate;
        EXPECT_EQ(p.boost, ref.boost) << rate;
    }
}

TEST(Prepare, BoostFlagFollowsTheHighBand) {
    // A shelf lifting everything above 2 kHz by a lot sets it; a plain impulse does not.
    FitParams lift;
    lift.hsOn = true;
    lift.hsF = 2000;
    lift.hsQ = 0.7;
    lift.hsD = 30;
    auto bright = test::modelImpulse(lift, 48000, 2000);
    PreparedTarget p;
    buildTarget(bright.data(), 2000, p, nullptr);
    EXPECT_TRUE(p.boost);
    std::vector<double> impulse(2000, 0.0);
    impulse[0] = 1.0;
    buildTarget(impulse.data(), 2000, p, nullptr);
    EXPECT_FALSE(p.boost);
}

TEST(Prepare, CancelStopsTheResampling) {
    std::vector<double> x = decaying(15000, 6);
    IrControl c;
    c.cancel.store(1);
    PreparedTarget p;
    EXPECT_FALSE(prepareTarget(x.data(), 1, 44100, 15000, p, c, 2));
}

namespace {

// The resampling written the plain way: for each pair of phases, each output summed over its
// source values in order, each term's reciprocal taken of the integer denominator; then the
// outputs assembled as the engine does. Faster schedules must give these numbers to the bit.
std::vector<double> plainResample(const std::vector<double>& x, int64_t r, int64_t lout) {
    const int64_t n = static_cast<int64_t>(x.size());
    const bool up = n <= lout;
    std::vector<double> c(x.size());
    for (int64_t j = 0; j < n; ++j)
        c[j] = up ? ((j & 1) ? x[j] : -x[j])
                  : x[j] * std::sin(kPi * static_cast<double>((48000 * j) % (2 * r)) /
                                    static_cast<double>(r));
    const int64_t g = std::gcd(int64_t{48000}, r);
    const int64_t p = 48000 / g, q = r / g;
    std::vector<double> sums(static_cast<size_t>(lout));
    for (int64_t b = 0; b < p; ++b) {
        const int64_t ns = b < lout ? (lout - 1 - b) / p + 1 : 0;
        std::vector<double> total(static_cast<size_t>(ns), 0.0);
        for (int64_t a = 0; a < q; ++a) {
            const int64_t nq = a < n ? (n - 1 - a) / q + 1 : 0;
            for (int64_t s = 0; s < ns && nq > 0; ++s) {
                double acc = 0.0;
                for (int64_t i = 0; i < nq; ++i) {
                    const int64_t den = p * q * (i - s) + p * a - q * b;
                    acc += c[q * i + a] * (den == 0 ? 0.0 : 1.0 / static_cast<double>(g * den));
                }
                total[s] += acc;
            }
        }
        for (int64_t s = 0; s < ns; ++s) sums[p * s + b] = total[s];
    }
    std::vector<double> y(static_cast<size_t>(lout));
    const double ratio = static_cast<double>(r) / 48000.0;
    for (int64_t k = 0; k < lout; ++k) {
        const int64_t rk = r * k;
        const int64_t j0 = rk % 48000 == 0 ? rk / 48000 : -1;
        const double centre = (j0 >= 0 && j0 < n) ? x[j0] : 0.0;
        if (up) {
            const double sk = std::sin(kPi * static_cast<double>(rk % 96000) / 48000.0);
            y[k] = ratio * (centre + sk * 48000.0 / kPi * sums[k]);
        } else {
            const double sign = (k & 1) ? -1.0 : 1.0;
            y[k] = centre + sign * static_cast<double>(r) / kPi * sums[k];
        }
    }
    return y;
}

}  // namespace

TEST(Prepare, ResamplingIsThePlainPhaseSumsToTheBit) {
    // Up and down, several grids; lengths that leave every remainder of the output blocks.
    for (int rate : {44100, 32000, 22050, 96000, 88200}) {
        for (int64_t n : {int64_t{7}, int64_t{300}, int64_t{6007}}) {
            const std::vector<double> x = decaying(static_cast<size_t>(n), 17);
            const int64_t lout = static_cast<int64_t>(
                static_cast<double>(n) * 48000.0 / static_cast<double>(rate) + 0.5);
            const std::vector<double> want = plainResample(x, rate, lout);
            for (int threads : {1, 2}) {
                std::vector<double> y(static_cast<size_t>(lout));
                IrControl c;
                ASSERT_TRUE(resampleTo48k(x.data(), n, rate, y.data(), lout, c, threads));
                EXPECT_EQ(std::memcmp(y.data(), want.data(), y.size() * sizeof(double)), 0)
                    << "rate " << rate << " n " << n << " threads " << threads;
            }
        }
    }
}
