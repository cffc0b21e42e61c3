// CFFT against a plain DFT, both directions, complex and real, several sizes.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <random>

#include "ir/CFFT.h"

using lumetta::ir::CFFT;

namespace {

std::vector<std::complex<double>> dft(const std::vector<std::complex<double>>& x, double sign) {
    const size_t n = x.size();
    std::vector<std::complex<double>> out(n);
    for (size_t k = 0; k < n; ++k) {
        std::complex<double> s = 0;
        for (size_t j = 0; j < n; ++j) {
            const double a = sign * 2.0 * std::numbers::pi * static_cast<double>((j * k) % n) /
                             static_cast<double>(n);
            s += x[j] * std::complex<double>(std::cos(a), std::sin(a));
        }
        out[k] = s;
    }
    return out;
}

std::vector<double> randoms(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    std::vector<double> v(n);
    for (auto& x : v) x = d(gen);
    return v;
}

}  // namespace

TEST(CFFT, ComplexTransformsMatchThePlainDft) {
    for (int order : {1, 2, 3, 5, 8, 10, 11}) {
        const size_t n = size_t{1} << order;
        auto re = randoms(n, 1u + static_cast<unsigned>(order));
        auto im = randoms(n, 100u + static_cast<unsigned>(order));
        std::vector<std::complex<double>> x(n);
        for (size_t i = 0; i < n; ++i) x[i] = {re[i], im[i]};
        for (auto dir : {CFFT::Forward, CFFT::Inverse}) {
            auto r = re, i = im;
            CFFT fft(10);
            ASSERT_TRUE(fft.configure(order, dir, false));
            ASSERT_TRUE(fft.complexTransform(r.data(), i.data()));
            auto want = dft(x, dir == CFFT::Forward ? -1.0 : 1.0);
            const double scale = dir == CFFT::Forward ? 1.0 : 1.0 / static_cast<double>(n);
            for (size_t k = 0; k < n; ++k) {
                EXPECT_NEAR(r[k], want[k].real() * scale, 1e-9 * static_cast<double>(n))
                    << "order " << order << " bin " << k;
                EXPECT_NEAR(i[k], want[k].imag() * scale, 1e-9 * static_cast<double>(n))
                    << "order " << order << " bin " << k;
            }
        }
    }
}

TEST(CFFT, RealTransformPacksBinsAndInvertsExactlyEnough) {
    for (int order : {1, 2, 4, 7, 10, 11}) {
        const size_t n = size_t{1} << order;
        auto x = randoms(n, 7u + static_cast<unsigned>(order));
        std::vector<std::complex<double>> cx(x.begin(), x.end());
        auto want = dft(cx, -1.0);
        auto packed = x;
        CFFT fwd(10);
        ASSERT_TRUE(fwd.configure(order, CFFT::Forward, true));
        ASSERT_TRUE(fwd.realTransform(packed.data()));
        const double tol = 1e-9 * static_cast<double>(n);
        EXPECT_NEAR(packed[0], want[0].real(), tol);
        EXPECT_NEAR(packed[1], want[n / 2].real(), tol);
        for (size_t k = 1; k < n / 2; ++k) {
            EXPECT_NEAR(packed[2 * k], want[k].real(), tol) << "order " << order << " bin " << k;
            EXPECT_NEAR(packed[2 * k + 1], want[k].imag(), tol)
                << "order " << order << " bin " << k;
        }
        CFFT inv(10);
        ASSERT_TRUE(inv.configure(order, CFFT::Inverse, true));
        ASSERT_TRUE(inv.realTransform(packed.data()));
        for (size_t i = 0; i < n; ++i) EXPECT_NEAR(packed[i], x[i], 1e-12) << "order " << order;
    }
}

TEST(CFFT, LargeSizesRoundTrip) {
    const int order = 16;
    const size_t n = size_t{1} << order;
    auto re = randoms(n, 3), im = randoms(n, 4);
    auto r = re, i = im;
    CFFT f(10), b(10);
    ASSERT_TRUE(f.configure(order, CFFT::Forward, false));
    ASSERT_TRUE(b.configure(order, CFFT::Inverse, false));
    f.complexTransform(r.data(), i.data());
    b.complexTransform(r.data(), i.data());
    for (size_t k = 0; k < n; ++k) {
        ASSERT_NEAR(r[k], re[k], 1e-12);
        ASSERT_NEAR(i[k], im[k], 1e-12);
    }
}

TEST(CFFT, UnconfiguredOrWrongModeDoesNothingAndFails) {
    CFFT fft(10);
    std::vector<double> a = {1, 2, 3, 4}, b = {0, 0, 0, 0};
    EXPECT_FALSE(fft.realTransform(a.data()));
    EXPECT_FALSE(fft.complexTransform(a.data(), b.data()));
    EXPECT_EQ(a[0], 1.0);
    EXPECT_FALSE(fft.configure(0, CFFT::Forward, true));
    EXPECT_FALSE(fft.configure(27, CFFT::Forward, true));
    ASSERT_TRUE(fft.configure(2, CFFT::Forward, true));
    EXPECT_FALSE(fft.complexTransform(a.data(), b.data()));
    ASSERT_TRUE(fft.configure(2, CFFT::Forward, false));
    EXPECT_FALSE(fft.realTransform(a.data()));
}

namespace {

bool sameOrBothZero(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (a == 0.0 && b == 0.0);
}

}  // namespace

TEST(CFFT, ForwardOfHeadIsTheFullSpectrumUpToTheSignOfZeros) {
    // Orders with and without tiled reordering and stages wider than a cache block.
    for (int order : {3, 11, 15, 18}) {
        const size_t n = size_t{1} << order;
        for (size_t used : {size_t{1}, size_t{2}, n / 100 + 1, n / 64, n / 35, n / 3}) {
            if (used == 0) continue;
            std::vector<double> x(n, 0.0);
            auto head = randoms(used, static_cast<unsigned>(order * 1000 + used));
            std::copy(head.begin(), head.end(), x.begin());
            x[used / 2] = 0.0;  // a zero inside the head too
            for (int threads : {1, 2}) {
                CFFT full(10), pruned(10);
                full.setThreads(threads);
                pruned.setThreads(threads);
                ASSERT_TRUE(full.configure(order, CFFT::Forward, true));
                ASSERT_TRUE(pruned.configure(order, CFFT::Forward, true));
                auto a = x, b = x;
                ASSERT_TRUE(full.realTransform(a.data()));
                ASSERT_TRUE(pruned.realForwardOfHead(b.data(), used));
                for (size_t i = 0; i < n; ++i)
                    ASSERT_TRUE(sameOrBothZero(a[i], b[i]))
                        << "order " << order << " used " << used << " index " << i << ": " << a[i]
                        << " vs " << b[i];
            }
        }
    }
}

TEST(CFFT, InverseHeadGivesTheFirstValuesToTheBit) {
    for (int order : {3, 11, 15, 18}) {
        const size_t n = size_t{1} << order;
        const auto spectrum = randoms(n, static_cast<unsigned>(order));
        for (size_t keep :
             {size_t{1}, size_t{2}, size_t{3}, n / 70, n / 35 + 1, n / 5, n / 2 + 1, n}) {
            if (keep == 0) continue;
            for (int threads : {1, 2}) {
                CFFT full(10), pruned(10);
                full.setThreads(threads);
                pruned.setThreads(threads);
                ASSERT_TRUE(full.configure(order, CFFT::Inverse, true));
                ASSERT_TRUE(pruned.configure(order, CFFT::Inverse, true));
                auto a = spectrum, b = spectrum;
                ASSERT_TRUE(full.realTransform(a.data()));
                ASSERT_TRUE(pruned.realInverseHead(b.data(), keep));
                EXPECT_EQ(std::memcmp(a.data(), b.data(), keep * sizeof(double)), 0)
                    << "order " << order << " keep " << keep;
            }
        }
    }
}

TEST(CFFT, HeadTransformsRefuseTheOtherDirection) {
    CFFT fft(10);
    std::vector<double> a(16, 1.0);
    EXPECT_FALSE(fft.realForwardOfHead(a.data(), 4));
    ASSERT_TRUE(fft.configure(4, CFFT::Inverse, true));
    EXPECT_FALSE(fft.realForwardOfHead(a.data(), 4));
    ASSERT_TRUE(fft.configure(4, CFFT::Forward, true));
    EXPECT_FALSE(fft.realInverseHead(a.data(), 4));
    EXPECT_EQ(a[0], 1.0);
}

namespace {

// The transform written the plain way: bit-reversed copy, then every radix-2 stage over the
// whole array, with the object's twiddle tables. Every faster schedule of the same butterflies
// must give these numbers to the bit.
void plainComplex(std::vector<double>& re, std::vector<double>& im, int order, bool inverse) {
    const size_t n = size_t{1} << order;
    const auto tables = CFFT::tablesFor(order);
    std::vector<double> r(n), i(n);
    for (size_t k = 0; k < n; ++k) {
        size_t rev = 0;
        for (int b = 0; b < order; ++b)
            if (k & (size_t{1} << b)) rev |= size_t{1} << (order - 1 - b);
        r[rev] = re[k];
        i[rev] = im[k];
    }
    const double sign = inverse ? 1.0 : -1.0;
    for (size_t len = 2; len <= n; len <<= 1) {
        const size_t half = len / 2;
        for (size_t g = 0; g < n; g += len) {
            for (size_t k = 0; k < half; ++k) {
                const double wr = tables->cos[half - 1 + k];
                const double wi = sign * tables->sin[half - 1 + k];
                const size_t a = g + k, b = g + k + half;
                const double tr = wr * r[b] - wi * i[b];
                const double ti = wr * i[b] + wi * r[b];
                r[b] = r[a] - tr;
                i[b] = i[a] - ti;
                r[a] = r[a] + tr;
                i[a] = i[a] + ti;
            }
        }
    }
    re = r;
    im = i;
}

// The real transforms around plainComplex, split and merged as the object does it.
void plainReal(std::vector<double>& data, int order, bool inverse) {
    const size_t n = size_t{1} << order;
    const size_t m = n / 2;
    const auto tables = CFFT::tablesFor(order);
    const double* tc = tables->cos.data() + (m - 1);
    const double* ts = tables->sin.data() + (m - 1);
    std::vector<double> zr(m), zi(m);
    if (!inverse) {
        for (size_t k = 0; k < m; ++k) {
            zr[k] = data[2 * k];
            zi[k] = data[2 * k + 1];
        }
        plainComplex(zr, zi, order - 1, false);
        for (size_t k = 1; k < m; ++k) {
            const double er = 0.5 * (zr[k] + zr[m - k]);
            const double ei = 0.5 * (zi[k] - zi[m - k]);
            const double or_ = 0.5 * (zi[k] + zi[m - k]);
            const double oi = -0.5 * (zr[k] - zr[m - k]);
            const double wr = tc[k];
            const double wi = -ts[k];
            data[2 * k] = er + (wr * or_ - wi * oi);
            data[2 * k + 1] = ei + (wr * oi + wi * or_);
        }
        data[0] = zr[0] + zi[0];
        data[1] = zr[0] - zi[0];
        return;
    }
    zr[0] = 0.5 * (data[0] + data[1]);
    zi[0] = 0.5 * (data[0] - data[1]);
    for (size_t k = 1; k < m; ++k) {
        const double xr = data[2 * k], xi = data[2 * k + 1];
        const double yr = data[2 * (m - k)], yi = -data[2 * (m - k) + 1];
        const double er = 0.5 * (xr + yr);
        const double ei = 0.5 * (xi + yi);
        const double dr = 0.5 * (xr - yr);
        const double di = 0.5 * (xi - yi);
        const double or_ = dr * tc[k] - di * ts[k];
        const double oi = di * tc[k] + dr * ts[k];
        zr[k] = er - oi;
        zi[k] = ei + or_;
    }
    plainComplex(zr, zi, order - 1, true);
    const double scale = 1.0 / static_cast<double>(m);
    for (size_t k = 0; k < m; ++k) {
        data[2 * k] = zr[k] * scale;
        data[2 * k + 1] = zi[k] * scale;
    }
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

}  // namespace

TEST(CFFT, ComplexTransformsAreThePlainButterfliesToTheBit) {
    // Table and tiled reordering, in-block and strip stages, one and two threads.
    for (int order : {1, 2, 3, 4, 5, 6, 9, 10, 11, 12, 13, 14, 17, 19}) {
        const size_t n = size_t{1} << order;
        for (bool inverse : {false, true}) {
            for (int threads : {1, 2}) {
                auto re = randoms(n, static_cast<unsigned>(order));
                auto im = randoms(n, 7u + static_cast<unsigned>(order));
                re[n / 2] = -0.0;  // signed zeros must come out as the plain way makes them
                im[0] = 0.0;
                auto wantRe = re, wantIm = im;
                plainComplex(wantRe, wantIm, order, inverse);
                if (inverse) {
                    for (size_t k = 0; k < n; ++k) {
                        wantRe[k] *= 1.0 / static_cast<double>(n);
                        wantIm[k] *= 1.0 / static_cast<double>(n);
                    }
                }
                CFFT fft(10);
                fft.setThreads(threads);
                ASSERT_TRUE(fft.configure(order, inverse ? CFFT::Inverse : CFFT::Forward, false));
                ASSERT_TRUE(fft.complexTransform(re.data(), im.data()));
                EXPECT_TRUE(sameBits(re, wantRe) && sameBits(im, wantIm))
                    << "order " << order << " inverse " << inverse << " threads " << threads;
            }
        }
    }
}

TEST(CFFT, RealTransformsAreThePlainButterfliesToTheBit) {
    for (int order : {2, 3, 6, 10, 11, 12, 15, 20}) {
        const size_t n = size_t{1} << order;
        for (bool inverse : {false, true}) {
            for (int threads : {1, 2}) {
                auto data = randoms(n, 31u * static_cast<unsigned>(order));
                data[3] = 0.0;
                data[n / 2] = -0.0;
                auto want = data;
                plainReal(want, order, inverse);
                CFFT fft(10);
                fft.setThreads(threads);
                ASSERT_TRUE(fft.configure(order, inverse ? CFFT::Inverse : CFFT::Forward, true));
                ASSERT_TRUE(fft.realTransform(data.data()));
                EXPECT_TRUE(sameBits(data, want))
                    << "order " << order << " inverse " << inverse << " threads " << threads;
            }
        }
    }
}
