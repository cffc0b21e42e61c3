#include "ir/CFFT.h"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <numbers>
#include <thread>
#include <utility>

#include "ir/IrClones.h"
#include "ir/IrThreads.h"

namespace lumetta::ir {

namespace {

// Sizes up to this order reorder through a table; larger ones in cache-sized tiles.
constexpr int kTileBits = 5;

std::shared_ptr<const CFFT::Tables> sharedTables(int order) {
    static std::mutex lock;
    static std::shared_ptr<const CFFT::Tables> cached;
    std::lock_guard guard(lock);
    if (cached && cached->order >= order) return cached;
    auto t = std::make_shared<CFFT::Tables>();
    t->order = order;
    const uint32_t n = 1u << order;
    // cos and sin of 2 pi k / n for k < n/2, from an eighth of the circle by symmetry.
    std::vector<double> c(n / 2 + 1), s(n / 2 + 1);
    const uint32_t eighth = n / 8;
    for (uint32_t k = 0; k <= eighth; ++k) {
        const double a = 2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(n);
        c[k] = std::cos(a);
        s[k] = std::sin(a);
    }
    for (uint32_t k = eighth + 1; k <= n / 4; ++k) {
        c[k] = s[n / 4 - k];
        s[k] = c[n / 4 - k];
    }
    for (uint32_t k = n / 4 + 1; k < n / 2; ++k) {
        c[k] = -c[n / 2 - k];
        s[k] = s[n / 2 - k];
    }
    if (n < 8) {
        for (uint32_t k = 0; k < n / 2; ++k) {
            const double a =
                2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(n);
            c[k] = std::cos(a);
            s[k] = std::sin(a);
        }
    }
    t->cos.assign(n - 1, 1.0);
    t->sin.assign(n - 1, 0.0);
    for (uint32_t len = 2; len <= n; len <<= 1) {
        const uint32_t stride = n / len;
        for (uint32_t k = 0; k < len / 2; ++k) {
            t->cos[len / 2 - 1 + k] = c[k * stride];
            t->sin[len / 2 - 1 + k] = s[k * stride];
        }
    }
    cached = t;
    return t;
}

uint32_t reverseBits(uint32_t v, int bits) {
    uint32_t r = 0;
    for (int b = 0; b < bits; ++b)
        if (v & (1u << b)) r |= 1u << (bits - 1 - b);
    return r;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
typedef double v4 __attribute__((vector_size(32)));

// Unaligned views of four doubles. Plain expressions rather than helper calls: a call passing a
// vector between a default function and an AVX2 clone would change its ABI.
typedef double v4u __attribute__((vector_size(32), aligned(8), may_alias));
#define LUMETTA_LOAD4(p) (*reinterpret_cast<const v4u*>(p))
#define LUMETTA_STORE4(p, v) (*reinterpret_cast<v4u*>(p) = (v))

// One run of butterflies of a stage: element k of (r0, i0) with element k of (r1, i1), twiddle
// (wrs[k], sign * wss[k]), for k in [k0, k1). Lanes only batch independent butterflies, each
// computed exactly as alone.
[[gnu::always_inline]] inline void butterflyRun(double* r0, double* i0, double* r1, double* i1,
                                                const double* wrs, const double* wss, double sign,
                                                uint32_t k0, uint32_t k1) {
    uint32_t k = k0;
    if (k1 - k0 >= 4) {
        const v4 sg = {sign, sign, sign, sign};
        for (; k + 4 <= k1; k += 4) {
            const v4 wr = LUMETTA_LOAD4(wrs + k);
            const v4 wi = sg * LUMETTA_LOAD4(wss + k);
            const v4 ar = LUMETTA_LOAD4(r1 + k), ai = LUMETTA_LOAD4(i1 + k);
            const v4 tr = wr * ar - wi * ai;
            const v4 ti = wr * ai + wi * ar;
            const v4 br = LUMETTA_LOAD4(r0 + k), bi = LUMETTA_LOAD4(i0 + k);
            LUMETTA_STORE4(r1 + k, br - tr);
            LUMETTA_STORE4(i1 + k, bi - ti);
            LUMETTA_STORE4(r0 + k, br + tr);
            LUMETTA_STORE4(i0 + k, bi + ti);
        }
    }
    for (; k < k1; ++k) {
        const double wr = wrs[k];
        const double wi = sign * wss[k];
        const double tr = wr * r1[k] - wi * i1[k];
        const double ti = wr * i1[k] + wi * r1[k];
        r1[k] = r0[k] - tr;
        i1[k] = i0[k] - ti;
        r0[k] = r0[k] + tr;
        i0[k] = i0[k] + ti;
    }
}
#pragma GCC diagnostic pop

constexpr uint32_t kSide = 1u << kTileBits;

// One tile of the bit-reversed copy together with the first kTileBits stages (lengths 2 to
// kSide). The tile's values for one column c land in one run of kSide consecutive outputs, at
// offset rev(a) for row a, and those stages never leave such a run: the tile is collected as
// t[rev(a)][c], the stages run on whole rows of it (every column is a run of its own, so a
// row's lanes are independent butterflies with one twiddle), and column c is written to its run.
// Each butterfly is the same arithmetic on the same values as in a sweep over the whole array.
LUMETTA_IR_CLONES void tileWithFirstStages(const double* srcRe, const double* srcIm, size_t stride,
                                           uint32_t fromLow, int topShift, uint32_t toLow,
                                           const uint32_t* revQ, const double* tc, const double* ts,
                                           double sign, double* re, double* im, bool prefetchNext) {
    alignas(32) double tr[kSide][kSide];
    alignas(32) double ti[kSide][kSide];
    // The next tile reads on in the same kSide source rows: too many streams for the hardware
    // to follow, so its lines are asked for while this one is worked on.
    constexpr size_t kLine = 64 / sizeof(double);
    for (uint32_t a = 0; a < kSide; ++a) {
        const size_t from = (size_t{a} << topShift) | fromLow;
        double* rowRe = tr[revQ[a]];
        double* rowIm = ti[revQ[a]];
        for (uint32_t c = 0; c < kSide; ++c) {
            rowRe[c] = srcRe[(from + c) * stride];
            rowIm[c] = srcIm[(from + c) * stride];
        }
        if (prefetchNext) {
            const size_t next = (from + kSide) * stride;
            for (size_t o = 0; o < kSide * stride; o += kLine) {
                __builtin_prefetch(srcRe + next + o);
                if (stride == 1) __builtin_prefetch(srcIm + next + o);
            }
        }
    }
    for (uint32_t half = 1; half < kSide; half <<= 1) {
        for (uint32_t g = 0; g < kSide; g += 2 * half) {
            for (uint32_t k = 0; k < half; ++k) {
                const double wr = tc[half - 1 + k];
                const double wi = sign * ts[half - 1 + k];
                double* r0 = tr[g + k];
                double* i0 = ti[g + k];
                double* r1 = tr[g + k + half];
                double* i1 = ti[g + k + half];
                for (uint32_t c = 0; c < kSide; ++c) {
                    const double xr = wr * r1[c] - wi * i1[c];
                    const double xi = wr * i1[c] + wi * r1[c];
                    r1[c] = r0[c] - xr;
                    i1[c] = i0[c] - xi;
                    r0[c] = r0[c] + xr;
                    i0[c] = i0[c] + xi;
                }
            }
        }
    }
    for (uint32_t c = 0; c < kSide; ++c) {
        const size_t to = (size_t{revQ[c]} << topShift) | toLow;
        for (uint32_t t = 0; t < kSide; ++t) {
            re[to + t] = tr[t][c];
            im[to + t] = ti[t][c];
        }
    }
}

// Two stages in one pass over a group of 2 * len values (len >= 8): the stage of length len
// pairs (a, b) and (c, d), the next one (a, c) and (b, d), for a = k, b = k + len/2,
// c = k + len, d = k + 3 len/2. Each value goes through the same two butterflies as in two
// separate sweeps, with the same twiddles; only the memory traffic is halved.
[[gnu::always_inline]] inline void butterflyPairRun(double* r, double* i, uint32_t len,
                                                    const double* tc, const double* ts,
                                                    double sign) {
    const uint32_t q = len / 2;
    const double* wc1 = tc + (q - 1);
    const double* ws1 = ts + (q - 1);
    const double* wc2 = tc + (len - 1);
    const double* ws2 = ts + (len - 1);
    const v4 sg = {sign, sign, sign, sign};
    for (uint32_t k = 0; k < q; k += 4) {
        const v4 w1r = LUMETTA_LOAD4(wc1 + k), w1i = sg * LUMETTA_LOAD4(ws1 + k);
        v4 ar = LUMETTA_LOAD4(r + k), ai = LUMETTA_LOAD4(i + k);
        v4 br = LUMETTA_LOAD4(r + k + q), bi = LUMETTA_LOAD4(i + k + q);
        v4 cr = LUMETTA_LOAD4(r + k + len), ci = LUMETTA_LOAD4(i + k + len);
        v4 dr = LUMETTA_LOAD4(r + k + len + q), di = LUMETTA_LOAD4(i + k + len + q);
        {
            const v4 tr = w1r * br - w1i * bi;
            const v4 ti = w1r * bi + w1i * br;
            br = ar - tr;
            bi = ai - ti;
            ar = ar + tr;
            ai = ai + ti;
        }
        {
            const v4 tr = w1r * dr - w1i * di;
            const v4 ti = w1r * di + w1i * dr;
            dr = cr - tr;
            di = ci - ti;
            cr = cr + tr;
            ci = ci + ti;
        }
        {
            const v4 wr = LUMETTA_LOAD4(wc2 + k), wi = sg * LUMETTA_LOAD4(ws2 + k);
            const v4 tr = wr * cr - wi * ci;
            const v4 ti = wr * ci + wi * cr;
            LUMETTA_STORE4(r + k + len, ar - tr);
            LUMETTA_STORE4(i + k + len, ai - ti);
            LUMETTA_STORE4(r + k, ar + tr);
            LUMETTA_STORE4(i + k, ai + ti);
        }
        {
            const v4 wr = LUMETTA_LOAD4(wc2 + k + q), wi = sg * LUMETTA_LOAD4(ws2 + k + q);
            const v4 tr = wr * dr - wi * di;
            const v4 ti = wr * di + wi * dr;
            LUMETTA_STORE4(r + k + len + q, br - tr);
            LUMETTA_STORE4(i + k + len + q, bi - ti);
            LUMETTA_STORE4(r + k + q, br + tr);
            LUMETTA_STORE4(i + k + q, bi + ti);
        }
    }
}

// The stages from length firstLen to `block` on blocks [b0, b1) of `block` values each.
LUMETTA_IR_CLONES void blockStages(double* re, double* im, uint64_t b0, uint64_t b1, uint32_t block,
                                   uint32_t firstLen, const double* tc, const double* ts,
                                   double sign) {
    for (uint64_t b = b0; b < b1; ++b) {
        uint32_t len = firstLen;
        if (len >= 8) {
            for (; 2 * len <= block; len <<= 2) {
                for (uint64_t g = b * block; g < (b + 1) * block; g += 2 * len)
                    butterflyPairRun(re + g, im + g, len, tc, ts, sign);
            }
        }
        for (; len <= block; len <<= 1) {
            const uint32_t half = len / 2;
            for (uint64_t g = b * block; g < (b + 1) * block; g += len)
                butterflyRun(re + g, im + g, re + g + half, im + g + half, tc + (half - 1),
                             ts + (half - 1), sign, 0, half);
        }
    }
}

// The butterflies of one strip (`rows` rows of `width` values, `width` a multiple of 4 or 1)
// through every stage wider than a block; see CFFT::wideStages. The stage of length `len`
// pairs rows `span` apart; the butterfly of row g + h (h < span) and column j has twiddle index
// h * block + c0 + j, and is skipped from index `keep` on. Two stages go together where their
// butterflies are all kept: rows g + h, + span, + 2 span, + 3 span pass through both while
// loaded, by the same butterflies as stage after stage.
LUMETTA_IR_CLONES void stripStages(double* sr, double* si, uint32_t rows, uint32_t width,
                                   uint32_t block, uint32_t c0, uint32_t n, uint64_t keep,
                                   const double* tc, const double* ts, double sign) {
    auto single = [&](uint32_t half, uint32_t rowA, uint32_t rowB, uint32_t h) {
        const uint32_t k = h * block + c0;
        if (k >= keep) return;
        const uint32_t end = static_cast<uint32_t>(std::min<uint64_t>(width, keep - k));
        const size_t a = size_t{rowA} * width, b = size_t{rowB} * width;
        butterflyRun(sr + a, si + a, sr + b, si + b, tc + (half - 1) + k, ts + (half - 1) + k, sign,
                     0, end);
    };
    uint32_t span = 1, len = block << 1;
    if (width % 4 == 0) {
        for (; 2 * len <= n; span <<= 2, len <<= 2) {
            const uint32_t half1 = len / 2, half2 = len;
            const v4 sg = {sign, sign, sign, sign};
            for (uint32_t g = 0; g < rows; g += 4 * span) {
                for (uint32_t h = 0; h < span; ++h) {
                    const uint32_t a = g + h, b = a + span, c = a + 2 * span, d = a + 3 * span;
                    if (uint64_t{h + span} * block + c0 + width > keep) {
                        single(half1, a, b, h);
                        single(half1, c, d, h);
                        single(half2, a, c, h);
                        single(half2, b, d, h + span);
                        continue;
                    }
                    const uint32_t k1 = h * block + c0, k2 = (h + span) * block + c0;
                    double* ra = sr + size_t{a} * width;
                    double* ia = si + size_t{a} * width;
                    double* rb = sr + size_t{b} * width;
                    double* ib = si + size_t{b} * width;
                    double* rc = sr + size_t{c} * width;
                    double* ic = si + size_t{c} * width;
                    double* rd = sr + size_t{d} * width;
                    double* id = si + size_t{d} * width;
                    for (uint32_t j = 0; j < width; j += 4) {
                        const v4 w1r = LUMETTA_LOAD4(tc + (half1 - 1) + k1 + j);
                        const v4 w1i = sg * LUMETTA_LOAD4(ts + (half1 - 1) + k1 + j);
                        v4 ar = LUMETTA_LOAD4(ra + j), ai = LUMETTA_LOAD4(ia + j);
                        v4 br = LUMETTA_LOAD4(rb + j), bi = LUMETTA_LOAD4(ib + j);
                        v4 cr = LUMETTA_LOAD4(rc + j), ci = LUMETTA_LOAD4(ic + j);
                        v4 dr = LUMETTA_LOAD4(rd + j), di = LUMETTA_LOAD4(id + j);
                        {
                            const v4 tr = w1r * br - w1i * bi;
                            const v4 ti = w1r * bi + w1i * br;
                            br = ar - tr;
                            bi = ai - ti;
                            ar = ar + tr;
                            ai = ai + ti;
                        }
                        {
                            const v4 tr = w1r * dr - w1i * di;
                            const v4 ti = w1r * di + w1i * dr;
                            dr = cr - tr;
                            di = ci - ti;
                            cr = cr + tr;
                            ci = ci + ti;
                        }
                        {
                            const v4 wr = LUMETTA_LOAD4(tc + (half2 - 1) + k1 + j);
                            const v4 wi = sg * LUMETTA_LOAD4(ts + (half2 - 1) + k1 + j);
                            const v4 tr = wr * cr - wi * ci;
                            const v4 ti = wr * ci + wi * cr;
                            LUMETTA_STORE4(rc + j, ar - tr);
                            LUMETTA_STORE4(ic + j, ai - ti);
                            LUMETTA_STORE4(ra + j, ar + tr);
                            LUMETTA_STORE4(ia + j, ai + ti);
                        }
                        {
                            const v4 wr = LUMETTA_LOAD4(tc + (half2 - 1) + k2 + j);
                            const v4 wi = sg * LUMETTA_LOAD4(ts + (half2 - 1) + k2 + j);
                            const v4 tr = wr * dr - wi * di;
                            const v4 ti = wr * di + wi * dr;
                            LUMETTA_STORE4(rd + j, br - tr);
                            LUMETTA_STORE4(id + j, bi - ti);
                            LUMETTA_STORE4(rb + j, br + tr);
                            LUMETTA_STORE4(ib + j, bi + ti);
                        }
                    }
                }
            }
        }
    }
    for (; len <= n; span <<= 1, len <<= 1) {
        for (uint32_t g = 0; g < rows; g += 2 * span)
            for (uint32_t h = 0; h < span; ++h) single(len / 2, g + h, g + h + span, h);
    }
}

// The real forward transform's bins k in [k0, k1) from the half-size transform Z of the even
// and odd samples: E = (Z[k] + conj Z[m-k]) / 2, O = (Z[k] - conj Z[m-k]) / 2i, X = E + W^k O.
LUMETTA_IR_CLONES void splitSpectrum(const double* zr, const double* zi, uint64_t m,
                                     const double* tc, const double* ts, uint64_t k0, uint64_t k1,
                                     double* data) {
    for (uint64_t k = k0; k < k1; ++k) {
        const double er = 0.5 * (zr[k] + zr[m - k]);
        const double ei = 0.5 * (zi[k] - zi[m - k]);
        const double or_ = 0.5 * (zi[k] + zi[m - k]);
        const double oi = -0.5 * (zr[k] - zr[m - k]);
        const double wr = tc[k];
        const double wi = -ts[k];
        data[2 * k] = er + (wr * or_ - wi * oi);
        data[2 * k + 1] = ei + (wr * oi + wi * or_);
    }
}

// The inverse of splitSpectrum for k in [k0, k1): Z = E + iO from the half spectrum, so that
// the half-size inverse gives the even samples in its real part and the odd ones in its
// imaginary part.
LUMETTA_IR_CLONES void mergeSpectrum(const double* data, uint64_t m, const double* tc,
                                     const double* ts, uint64_t k0, uint64_t k1, double* zr,
                                     double* zi) {
    for (uint64_t k = k0; k < k1; ++k) {
        const double xr = data[2 * k], xi = data[2 * k + 1];
        const double yr = data[2 * (m - k)], yi = -data[2 * (m - k) + 1];
        const double er = 0.5 * (xr + yr);
        const double ei = 0.5 * (xi + yi);
        const double dr = 0.5 * (xr - yr);
        const double di = 0.5 * (xi - yi);
        // O = D / W^k = D * conj(W^k).
        const double wr = tc[k];
        const double wi = ts[k];
        const double or_ = dr * wr - di * wi;
        const double oi = di * wr + dr * wi;
        zr[k] = er - oi;
        zi[k] = ei + or_;
    }
}

// Runs f(from, to) over [0, count) in `threads` contiguous parts, the first on this thread.
template <class F>
void parallelFor(int threads, uint64_t count, F f, uint64_t least = 4096) {
    if (threads <= 1 || count < least) {
        f(uint64_t{0}, count);
        return;
    }
    const uint64_t part =
        (count + static_cast<uint64_t>(threads) - 1) / static_cast<uint64_t>(threads);
    runWorkers(threads, [&](int t) {
        const uint64_t from = part * static_cast<uint64_t>(t);
        if (from < count) f(from, std::min(count, from + part));
    });
}

}  // namespace

std::shared_ptr<const CFFT::Tables> CFFT::tablesFor(int order) {
    return sharedTables(order);
}

void CFFT::setThreads(int threads) {
    threads_ = threads < 1 ? 1 : threads;
    if (half_) half_->setThreads(threads_);
}

CFFT::CFFT(int order) : order_(order) {}

CFFT::~CFFT() = default;

void CFFT::FreeArray::operator()(double* p) const {
    std::free(p);
}

CFFT::Array CFFT::allocateArray(size_t count) {
    constexpr size_t kHuge = size_t{2} << 20;
    const size_t bytes = count * sizeof(double);
    if (bytes < kHuge) {
        auto* p = static_cast<double*>(std::malloc(bytes == 0 ? sizeof(double) : bytes));
        if (p == nullptr) throw std::bad_alloc();
        return Array(p);
    }
    const size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
    auto* p = static_cast<double*>(std::aligned_alloc(kHuge, rounded));
    if (p == nullptr) throw std::bad_alloc();
    // Advice only: without huge pages the array works the same.
    madvise(p, rounded, MADV_HUGEPAGE);
    return Array(p);
}

bool CFFT::configure(int order, Direction direction, bool realMode) {
    configured_ = false;
    if (order < 1 || order > 26 || (direction != Forward && direction != Inverse)) return false;
    order_ = order;
    size_ = 1u << order;
    direction_ = direction;
    real_ = realMode;
    tables_ = sharedTables(order);
    if (realMode) {
        bitrev_.clear();
        if (order == 1) {
            half_.reset();
        } else {
            if (!half_) half_ = std::make_unique<CFFT>(order - 1);
            if (!half_->configure(order - 1, direction, false)) return false;
            half_->setThreads(threads_);
        }
        work_.ensure(size_);
    } else {
        half_.reset();
        if (order < 2 * kTileBits) {
            bitrev_.assign(size_, 0);
            for (uint32_t i = 1; i < size_; ++i)
                bitrev_[i] = (bitrev_[i >> 1] >> 1) | ((i & 1u) << (order - 1));
            work_.release();
        } else {
            bitrev_.clear();
            work_.ensure(2 * static_cast<size_t>(size_));
        }
    }
    configured_ = true;
    return true;
}

// Puts the input in bit-reversed order, in place, through the table (sizes that reorder in
// tiles go through reorderWithFirstStages).
void CFFT::reorder(double* re, double* im) {
    const uint32_t n = size_;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t j = bitrev_[i];
        if (j > i) {
            std::swap(re[i], re[j]);
            std::swap(im[i], im[j]);
        }
    }
}

// re[rev(i)] = srcRe[i * stride], im[rev(i)] = srcIm[i * stride]: the bit-reversed copy of a
// source that may be interleaved (stride 2), into arrays apart from it.
void CFFT::reorderFrom(const double* srcRe, const double* srcIm, size_t stride, double* re,
                       double* im) {
    const uint32_t n = size_;
    if (!bitrev_.empty()) {
        for (uint32_t i = 0; i < n; ++i) {
            re[bitrev_[i]] = srcRe[i * stride];
            im[bitrev_[i]] = srcIm[i * stride];
        }
        return;
    }
    const int q = kTileBits;
    const int midBits = order_ - 2 * q;
    const uint32_t side = 1u << q;
    uint32_t revQ[1u << kTileBits];
    for (uint32_t v = 0; v < side; ++v) revQ[v] = reverseBits(v, q);
    const int topShift = order_ - q;
    parallelFor(threads_, uint64_t{1} << midBits, [&](uint64_t m0, uint64_t m1) {
        for (uint32_t m = static_cast<uint32_t>(m0); m < m1; ++m) {
            const uint32_t rm = reverseBits(m, midBits) << q;
            for (uint32_t a = 0; a < side; ++a) {
                const uint32_t from = (a << topShift) | (m << q);
                const uint32_t toLow = rm | revQ[a];
                for (uint32_t c = 0; c < side; ++c) {
                    const uint32_t to = (revQ[c] << topShift) | toLow;
                    re[to] = srcRe[(from + c) * stride];
                    im[to] = srcIm[(from + c) * stride];
                }
            }
        }
    });
}

// reorderFrom followed by the stages of lengths 2 to kSide, for sizes that reorder in tiles
// (bitrev_ empty): the stages run on each tile while it is in the cache, and the tile's writes
// go to whole runs instead of single scattered values. Returns the first stage length left.
uint32_t CFFT::reorderWithFirstStages(const double* srcRe, const double* srcIm, size_t stride,
                                      double* re, double* im) {
    const int q = kTileBits;
    const int midBits = order_ - 2 * q;
    uint32_t revQ[kSide];
    for (uint32_t v = 0; v < kSide; ++v) revQ[v] = reverseBits(v, q);
    const int topShift = order_ - q;
    const double sign = direction_ == Forward ? -1.0 : 1.0;
    const double* tc = tables_->cos.data();
    const double* ts = tables_->sin.data();
    parallelFor(
        threads_, uint64_t{1} << midBits,
        [&](uint64_t m0, uint64_t m1) {
            for (uint32_t m = static_cast<uint32_t>(m0); m < m1; ++m)
                tileWithFirstStages(srcRe, srcIm, stride, m << q, topShift,
                                    reverseBits(m, midBits) << q, revQ, tc, ts, sign, re, im,
                                    m + 1 < m1);
        },
        2);
    return 2 * kSide;
}

// The stages wider than a block. Their butterflies only ever pair elements at the same offset
// within a block, so a strip of kStrip offsets taken from every block goes through all of them
// on its own. The strip is copied into a small contiguous buffer first: its rows lie a power of
// two apart in the array and would fight over the same cache sets. Every butterfly is the same
// arithmetic on the same values as sweeping the whole array stage by stage, only in a different
// order, so the result is the same to the bit; the memory is read and written once instead of
// once a stage.
//
// Only the first `keep` outputs are wanted (keep >= 1). The output at p comes from the inputs of
// the last stage at p mod (n/2) and p mod (n/2) + n/2, by the butterfly of index p mod (n/2);
// going back stage by stage, an output below `keep` depends, in the stage of length len, only
// on butterflies of index below keep within their len-block, and those read only values that
// earlier kept butterflies wrote (or all of them, once len/2 <= keep). So the butterflies of
// index keep and above are skipped, and each kept one does the same arithmetic on the same
// values as in the full transform: the first `keep` outputs are the same to the bit.
void CFFT::wideStages(double* re, double* im, uint32_t block, double sign, uint64_t keep) {
    constexpr uint32_t kStrip = 32;
    const uint32_t n = size_;
    const uint32_t rows = n / block;
    const double* tc = tables_->cos.data();
    const double* ts = tables_->sin.data();
    const uint32_t strips = block >= kStrip ? block / kStrip : 1;
    const uint32_t width = block >= kStrip ? kStrip : block;
    parallelFor(
        threads_, strips,
        [&](uint64_t s0, uint64_t s1) {
            std::vector<double> stripRe(static_cast<size_t>(rows) * width);
            std::vector<double> stripIm(static_cast<size_t>(rows) * width);
            for (uint64_t strip = s0; strip < s1; ++strip) {
                const uint32_t c0 = static_cast<uint32_t>(strip) * width;
                for (uint32_t r = 0; r < rows; ++r) {
                    std::memcpy(&stripRe[size_t{r} * width], re + size_t{r} * block + c0,
                                width * sizeof(double));
                    std::memcpy(&stripIm[size_t{r} * width], im + size_t{r} * block + c0,
                                width * sizeof(double));
                }
                stripStages(stripRe.data(), stripIm.data(), rows, width, block, c0, n, keep, tc, ts,
                            sign);
                for (uint32_t r = 0; r < rows; ++r) {
                    std::memcpy(re + size_t{r} * block + c0, &stripRe[size_t{r} * width],
                                width * sizeof(double));
                    std::memcpy(im + size_t{r} * block + c0, &stripIm[size_t{r} * width],
                                width * sizeof(double));
                }
            }
        },
        2);
}

// Radix-2 decimation in time. Stages up to kBlock points run block by block while the block is
// in cache; the wider stages then run strip by strip (wideStages).
void CFFT::transform(double* re, double* im) {
    if (bitrev_.empty()) {
        double* outRe = work_.get();
        double* outIm = work_.get() + size_;
        const uint32_t firstLen = reorderWithFirstStages(re, im, 1, outRe, outIm);
        parallelFor(threads_, size_, [&](uint64_t a, uint64_t b) {
            std::memcpy(re + a, outRe + a, (b - a) * sizeof(double));
            std::memcpy(im + a, outIm + a, (b - a) * sizeof(double));
        });
        stages(re, im, firstLen);
    } else {
        reorder(re, im);
        stages(re, im);
    }
    if (direction_ == Inverse) {
        const uint32_t n = size_;
        const double scale = 1.0 / static_cast<double>(n);
        parallelFor(threads_, n, [&](uint64_t a, uint64_t b) {
            for (uint64_t i = a; i < b; ++i) {
                re[i] *= scale;
                im[i] *= scale;
            }
        });
    }
}

// Every butterfly of the transform on input already in bit-reversed order; the inverse's
// division by N is left to the caller.
// The stages before the one of length `firstLen` are taken as done; only the first `keep`
// outputs are wanted (see wideStages).
void CFFT::stages(double* re, double* im, uint32_t firstLen, uint64_t keep) {
    const uint32_t n = size_;
    const double sign = direction_ == Forward ? -1.0 : 1.0;
    const double* tc = tables_->cos.data();
    const double* ts = tables_->sin.data();
    constexpr uint32_t kBlock = 1u << 12;
    const uint32_t block = n < kBlock ? n : kBlock;
    parallelFor(
        threads_, n / block,
        [&](uint64_t b0, uint64_t b1) {
            blockStages(re, im, b0, b1, block, firstLen, tc, ts, sign);
        },
        2);
    if (block < n) wideStages(re, im, block, sign, keep);
}

bool CFFT::complexTransform(double* re, double* im) {
    if (!configured_ || real_ || re == nullptr || im == nullptr) return false;
    transform(re, im);
    return true;
}

bool CFFT::realTransform(double* data) {
    if (!configured_ || !real_ || data == nullptr) return false;
    return direction_ == Forward ? realForward(data, size_) : realInverse(data, size_);
}

bool CFFT::realForwardOfHead(double* data, uint64_t used) {
    if (!configured_ || !real_ || direction_ != Forward || data == nullptr) return false;
    return realForward(data, used);
}

bool CFFT::realInverseHead(double* data, uint64_t keep) {
    if (!configured_ || !real_ || direction_ != Inverse || data == nullptr) return false;
    return realInverse(data, keep);
}

// The input of the half transform in bit-reversed order after its first `skipped` stages, for
// an input that is zero from index m >> skipped on (m = its size). Such an input is non-zero
// only at the bit-reversed positions that are multiples of 2^skipped, and each of those first
// stages pairs a value with a zero partner: a + w * 0 and a - w * 0 are a again, up to the sign
// when a is itself zero. So after them every position of a group of 2^skipped holds the
// group's first value, which is what is written here (zeros may carry another sign).
void CFFT::fillReversedHead(const double* data, int skipped, double* re, double* im) {
    const uint32_t heads = size_ >> skipped;
    const uint32_t group = 1u << skipped;
    const int bits = order_ - skipped;
    parallelFor(threads_, heads, [&](uint64_t a, uint64_t b) {
        for (uint32_t i = static_cast<uint32_t>(a); i < b; ++i) {
            const uint32_t p = reverseBits(i, bits) << skipped;
            const double vr = data[2 * size_t{i}];
            const double vi = data[2 * size_t{i} + 1];
            for (uint32_t j = 0; j < group; ++j) {
                re[p + j] = vr;
                im[p + j] = vi;
            }
        }
    });
}

bool CFFT::realForward(double* data, uint64_t used) {
    const uint32_t n = size_;
    const uint32_t m = n / 2;
    if (m == 1) return smallest(data);
    // cos and sin of 2 pi k / N: the table of the stage of length N.
    const double* tc = tables_->cos.data() + (m - 1);
    const double* ts = tables_->sin.data() + (m - 1);
    double* zr = work_.get();
    double* zi = work_.get() + m;
    {
        // Even samples as the real parts, odd ones as the imaginary parts, taken straight into
        // bit-reversed order. With a zero tail (complex values from (used + 1) / 2 on), the
        // stages that only copy values are skipped; in-block stages only (up to length 4096),
        // and only for sizes that reorder in tiles.
        const uint64_t heads = (used + 1) / 2;
        int skipped = 0;
        while (skipped < 11 && (uint64_t{m} >> (skipped + 1)) >= heads) ++skipped;
        if (skipped > 0 && half_->bitrev_.empty()) {
            half_->fillReversedHead(data, skipped, zr, zi);
            half_->stages(zr, zi, 2u << skipped);
        } else if (half_->bitrev_.empty()) {
            half_->stages(zr, zi, half_->reorderWithFirstStages(data, data + 1, 2, zr, zi));
        } else {
            half_->reorderFrom(data, data + 1, 2, zr, zi);
            half_->stages(zr, zi);
        }
        const double z0r = zr[0], z0i = zi[0];
        parallelFor(threads_, m - 1, [&](uint64_t a, uint64_t b) {
            splitSpectrum(zr, zi, m, tc, ts, a + 1, b + 1, data);
        });
        data[0] = z0r + z0i;
        data[1] = z0r - z0i;
    }
    return true;
}

bool CFFT::smallest(double* data) {
    const double a = data[0], b = data[1];
    data[0] = a + b;
    data[1] = a - b;
    if (direction_ == Inverse) {
        data[0] *= 0.5;
        data[1] *= 0.5;
    }
    return true;
}

bool CFFT::realInverse(double* data, uint64_t keep) {
    const uint32_t n = size_;
    const uint32_t m = n / 2;
    if (m == 1) return smallest(data);
    const double* tc = tables_->cos.data() + (m - 1);
    const double* ts = tables_->sin.data() + (m - 1);
    double* zr = work_.get();
    double* zi = work_.get() + m;
    {
        // Rebuild Z = E + iO from the half spectrum; the half-size inverse then gives the even
        // samples in its real part and the odd ones in its imaginary part.
        zr[0] = 0.5 * (data[0] + data[1]);
        zi[0] = 0.5 * (data[0] - data[1]);
        parallelFor(threads_, m - 1, [&](uint64_t a, uint64_t b) {
            mergeSpectrum(data, m, tc, ts, a + 1, b + 1, zr, zi);
        });
        // Into bit-reversed order in the half transform's own buffer when it has one (no copy
        // back), else in place; the division by m happens while interleaving, the same
        // multiplication by the same factor as in the transform itself.
        double* hr = zr;
        double* hi = zi;
        uint32_t firstLen = 2;
        if (half_->bitrev_.empty()) {
            hr = half_->work_.get();
            hi = hr + m;
            firstLen = half_->reorderWithFirstStages(zr, zi, 1, hr, hi);
        } else {
            half_->reorder(zr, zi);
        }
        // Output i of the half transform gives values 2i and 2i + 1.
        const uint64_t heads = std::min<uint64_t>(m, (keep + 1) / 2);
        half_->stages(hr, hi, firstLen, heads);
        const double scale = 1.0 / static_cast<double>(m);
        parallelFor(threads_, heads, [&](uint64_t a, uint64_t b) {
            for (uint64_t i = a; i < b; ++i) {
                data[2 * i] = hr[i] * scale;
                data[2 * i + 1] = hi[i] * scale;
            }
        });
    }
    return true;
}

}  // namespace lumetta::ir
