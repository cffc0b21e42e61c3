#pragma once

// The filter model the fit searches over: section and resonator formulas, the parameter
// record, and the grids. Shared by the fast engine and every check of it, so that a candidate
// is the same numbers wherever it is evaluated.

#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace lumetta::ir {

inline constexpr double kPi = std::numbers::pi;
inline constexpr double kRate = 48000.0;
/// Longest source, 48 kHz IR and target, in samples.
inline constexpr int kMaxLength = 32768;
/// Entries of the sparse-tap array.
inline constexpr int kSparseSize = 16384;
/// Most taps the parameter file carries.
inline constexpr int kMaxTaps = 32;

/// One second-order section: y = b0 x + b1 x1 + b2 x2 + c1 y1 + c2 y2.
struct Biquad {
    double b0 = 1.0, b1 = 0.0, b2 = 0.0, c1 = 0.0, c2 = 0.0;
};

inline double warp(double f) {
    return std::tan(kPi * f / kRate);
}
/// The program's decibel scale: 6 units per doubling.
inline double gainOf(double d) {
    return std::pow(2.0, d / 6.0);
}

inline Biquad highPassK(double k, double q) {
    const double d = 1.0 + k / q + k * k;
    return {1.0 / d, -2.0 / d, 1.0 / d, 2.0 * (1.0 - k * k) / d, -(1.0 - k / q + k * k) / d};
}

inline Biquad highPass(double f, double q) {
    return highPassK(warp(f), q);
}

inline Biquad peakingK(double k, double q, double g) {
    Biquad s;
    if (g >= 1.0) {
        const double d = 1.0 + k / q + k * k;
        s.b0 = (1.0 + g * k / q + k * k) / d;
        s.b1 = 2.0 * (k * k - 1.0) / d;
        s.b2 = (1.0 - g * k / q + k * k) / d;
        s.c1 = -s.b1;
        s.c2 = -(1.0 - k / q + k * k) / d;
    } else {
        const double d = 1.0 + k / (g * q) + k * k;
        s.b0 = (1.0 + k / q + k * k) / d;
        s.b1 = 2.0 * (k * k - 1.0) / d;
        s.b2 = (1.0 - k / q + k * k) / d;
        s.c1 = -s.b1;
        s.c2 = -(1.0 - k / (g * q) + k * k) / d;
    }
    return s;
}

inline Biquad peaking(double f, double q, double g) {
    return peakingK(warp(f), q, g);
}

/// One of the two identical sections of the fourth-order high shelf (gain sqrt(g) each).
inline Biquad highShelfK(double k, double q, double g) {
    const double a = std::sqrt(g);
    const double sa = std::sqrt(a);
    const double d = q + k + q * k * k;
    return {(a * q + sa * k + q * k * k) / d, 2.0 * q * (k * k - a) / d,
            (a * q - sa * k + q * k * k) / d, -2.0 * q * (k * k - 1.0) / d,
            -(q - k + q * k * k) / d};
}

inline Biquad highShelf(double f, double q, double g) {
    return highShelfK(warp(f), q, g);
}

/// A decaying resonance: its recursion z = sv (u - u1) + x1 z1 - r2 z2 and its output rows.
struct Resonance {
    double sv = 0.0;  ///< sqrt(v)
    double x1 = 0.0;
    double r2 = 0.0;
    double g0 = 0.0;
};

/// `omega` in radians per second, `tau` in samples (envelope falls by 2^-10).
inline Resonance resonance(double omega, double tau) {
    const double a = -20.0 * std::numbers::ln2 / tau;
    const double theta = omega / kRate;
    const double q = -theta / a;
    const double h = a / 2.0;
    const double r2 = std::exp(a);
    const double c = std::cos(theta);
    const double s = std::sin(theta);
    double x1;
    if (q < 0.5) {
        const double delta = std::sqrt(1.0 - 4.0 * q * q);
        x1 = std::exp((1.0 + delta) * h) + std::exp((1.0 - delta) * h);
    } else {
        x1 = 2.0 * std::exp(h) * std::cos(h * std::sqrt(4.0 * q * q - 1.0));
    }
    const double n1 = c * (2.0 * c - x1) - 1.0 + r2;
    const double n2 = (2.0 * c - x1) * s;
    const double d1 = (1.0 + 2.0 * c) * (c - 1.0);
    const double d2 = (2.0 * c - 1.0) * s;
    const double v = (n1 * n1 + n2 * n2) / (d1 * d1 + d2 * d2);
    double g0;
    if (q < 0.7071067811865476)
        g0 = (x1 + 1.0 + r2) / 4.0;
    else
        g0 = (std::sqrt(4.0 * r2 - x1 * x1) / 2.0) * (1.0 - r2) / (1.0 - x1 + r2);
    return {std::sqrt(v), x1, r2, g0};
}

/// Everything the fit chooses. Frequencies in Hz, gains in the decibel scale above.
struct FitParams {
    bool hpOn = false;
    double hpF = 0.0, hpQ = 0.0;
    bool pkOn = false;
    double pkF = 0.0, pkQ = 0.0, pkD = 0.0;
    bool hsOn = false;
    double hsF = 0.0, hsQ = 0.0, hsD = 0.0;
    std::array<int, 4> resMode{};  ///< 0 off, 1 positive, 2 negative
    std::array<double, 4> resF{}, resMs{}, resD{};

    bool operator==(const FitParams&) const = default;
};

inline Biquad hpSection(const FitParams& p) {
    return p.hpOn ? highPass(p.hpF, p.hpQ) : Biquad{};
}
inline Biquad pkSection(const FitParams& p) {
    return p.pkOn ? peaking(p.pkF, p.pkQ, gainOf(p.pkD)) : Biquad{};
}
inline Biquad hsSection(const FitParams& p) {
    return p.hsOn ? highShelf(p.hsF, p.hsQ, gainOf(p.hsD)) : Biquad{};
}
inline double resOmega(double f) {
    return 2.0 * kPi * f;
}
inline double resTau(double ms) {
    return ms / 1000.0 * kRate;
}
inline double resGain(int mode, double d) {
    const double g = gainOf(d);
    return mode == 1 ? g : (mode == 2 ? -g : 0.0);
}

/// An evenly spaced grid, both ends included: value(i) = start + i * step, as the double
/// nearest to that decimal (0.2 + 1 * 0.1 is 0.3, not 0.30000000000000004).
struct Grid {
    double start;
    double step;
    int count;
    double operator[](int i) const {
        return std::round((start + static_cast<double>(i) * step) * 1e6) / 1e6;
    }
};

namespace grid {
inline constexpr Grid hpF{20.0, 10.0, 29};
inline constexpr Grid hpQ{0.5, 0.15, 30};
inline constexpr Grid hsF{1000.0, 100.0, 91};
inline constexpr Grid hsQ{0.5, 0.1, 36};
inline constexpr Grid hsDBoost{-90.0, 3.0, 31};
inline constexpr Grid hsD{-90.0, 3.0, 30};
inline constexpr Grid pkF{200.0, 50.0, 37};
inline constexpr Grid pkQ{0.2, 0.1, 39};
inline constexpr Grid pkDBoost{-18.0, 1.0, 19};
inline constexpr Grid pkD{-24.0, 1.0, 25};
inline constexpr Grid jointHsF{2000.0, 500.0, 17};
inline constexpr Grid jointQ{0.5, 1.5, 3};
inline constexpr Grid jointPkF{200.0, 200.0, 10};
inline constexpr Grid jointPkD{-18.0, 3.0, 6};
inline constexpr double jointHsD = -90.0;
inline constexpr Grid refitF{20.0, 1.0, 281};
inline constexpr Grid refitQ{0.5, 0.1, 45};
inline constexpr Grid resF{50.0, 1.0, 351};
inline constexpr Grid resMs{5.0, 15.0, 15};
inline constexpr Grid resCoarseD{-42.0, 5.0, 10};
inline constexpr int resFineSpan = 4;
}  // namespace grid

/// Where each search ended: its best error, for comparing two fits.
struct FitTrace {
    std::vector<double> searchBest;
    /// Resonator candidate pairs whose sums stopped early, unable to win (the fast engine's
    /// own figure: it says how the search went, not what it found).
    int64_t droppedPairs = 0;
};

/// The fitted state the parameter file is written from.
struct FitResult {
    FitParams params;
    std::array<double, 20> sections{};    ///< HP, PK, HS A, HS B: b0 b1 b2 c1 c2 each
    std::array<double, 20> resonators{};  ///< row r, resonator i at 4 r + i
    int sparseCount = kSparseSize;
    std::vector<double> sparse = std::vector<double>(kSparseSize, 0.0);
    double bestError = 1000.0;
    bool completed = false;  ///< false when cancelled
    FitTrace trace;
};

/// Fills `sections` and `resonators` from `params` (off resonators are all zeros).
void computeCoefficients(FitResult& result);

/// The floats of the parameter file for `result`: 55 + 2 T values.
std::vector<float> parameterFloats(const FitResult& result);
/// The neutral parameter file's 119 floats.
std::vector<float> neutralParameterFloats();
/// Writes floats little-endian; false when the file cannot be written.
bool writeFloats(const char* path, const std::vector<float>& values);

/// Smallest power of two >= n (n >= 1).
inline int64_t nextPow2(int64_t n) {
    int64_t p = 1;
    while (p < n) p <<= 1;
    return p;
}

}  // namespace lumetta::ir
