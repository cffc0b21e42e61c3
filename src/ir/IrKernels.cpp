#include "ir/IrKernels.h"

#include <algorithm>

#include "ir/IrClones.h"

namespace lumetta::ir::kernels {

LaneBiquad lanes(const Biquad* s, int n) {
    LaneBiquad l;
    for (int i = 0; i < W; ++i) {
        const Biquad& b = s[i < n ? i : 0];
        l.b0[i] = b.b0;
        l.b1[i] = b.b1;
        l.b2[i] = b.b2;
        l.c1[i] = b.c1;
        l.c2[i] = b.c2;
    }
    return l;
}

LaneBiquad lanes(const Biquad& s) {
    return {splat(s.b0), splat(s.b1), splat(s.b2), splat(s.c1), splat(s.c2)};
}

namespace {

// Samples between two looks at the best error.
constexpr int kChunk = 32;

// The error of S cascaded sections per lane over the shared input x against t. Stops as soon
// as every lane's running sum is above the best error: the terms are squares, so such a sum
// can only grow. True when the sums are complete.
template <int S>
__attribute__((always_inline)) inline bool cascadeErrorLanes(const double* x, const double* t,
                                                             int64_t length, const LaneBiquad* sec,
                                                             const std::atomic<double>& best,
                                                             vd& err) {
    vd x1[S], x2[S], y1[S], y2[S];
    for (int s = 0; s < S; ++s) x1[s] = x2[s] = y1[s] = y2[s] = splat(0.0);
    vd e = splat(0.0);
    for (int64_t n0 = 0; n0 < length; n0 += kChunk) {
        const int64_t n1 = std::min(length, n0 + kChunk);
        for (int64_t n = n0; n < n1; ++n) {
            vd in = splat(x[n]);
            for (int s = 0; s < S; ++s) {
                const vd y = sec[s].b0 * in + sec[s].b1 * x1[s] + sec[s].b2 * x2[s] +
                             sec[s].c1 * y1[s] + sec[s].c2 * y2[s];
                x2[s] = x1[s];
                x1[s] = in;
                y2[s] = y1[s];
                y1[s] = y;
                in = y;
            }
            const vd d = splat(t[n]) - in;
            e += d * d;
        }
        const double limit = best.load(std::memory_order_relaxed);
        if (e[0] > limit && e[1] > limit && e[2] > limit && e[3] > limit) {
            err = e;
            return false;
        }
    }
    err = e;
    return true;
}

template <bool WithC>
__attribute__((always_inline)) inline void resonatorSumsLanes(const double* du, const double* r,
                                                              int64_t from, int64_t to,
                                                              const vd* sv, const vd* x1,
                                                              const vd* r2, ResonatorRun& run) {
    // Kept in locals for the loop: state in memory would be stored every sample.
    vd z1[kGroups], z2[kGroups], b[kGroups], c[kGroups];
    for (int g = 0; g < kGroups; ++g) {
        z1[g] = run.z1[g];
        z2[g] = run.z2[g];
        b[g] = run.b[g];
        c[g] = run.c[g];
    }
    for (int64_t n = from; n < to; ++n) {
        const vd d = splat(du[n]);
        const vd rn = splat(r[n]);
        for (int g = 0; g < kGroups; ++g) {
            const vd v = sv[g] * d + x1[g] * z1[g] - r2[g] * z2[g];
            z2[g] = z1[g];
            z1[g] = v;
            b[g] += rn * v;
            if (WithC) c[g] += v * v;
        }
    }
    for (int g = 0; g < kGroups; ++g) {
        run.z1[g] = z1[g];
        run.z2[g] = z2[g];
        run.b[g] = b[g];
        run.c[g] = c[g];
    }
}

}  // namespace

// The same code built for AVX2 where the processor has it: wider registers, identical
// arithmetic per lane.
LUMETTA_IR_CLONES bool cascade1(const double* x, const double* t, int64_t length,
                                const LaneBiquad* sec, const std::atomic<double>& best, vd& err) {
    return cascadeErrorLanes<1>(x, t, length, sec, best, err);
}
LUMETTA_IR_CLONES bool cascade2(const double* x, const double* t, int64_t length,
                                const LaneBiquad* sec, const std::atomic<double>& best, vd& err) {
    return cascadeErrorLanes<2>(x, t, length, sec, best, err);
}
LUMETTA_IR_CLONES bool cascade3(const double* x, const double* t, int64_t length,
                                const LaneBiquad* sec, const std::atomic<double>& best, vd& err) {
    return cascadeErrorLanes<3>(x, t, length, sec, best, err);
}

LUMETTA_IR_CLONES void resonatorSumsBC(const double* du, const double* r, int64_t from, int64_t to,
                                       const vd* sv, const vd* x1, const vd* r2,
                                       ResonatorRun& run) {
    resonatorSumsLanes<true>(du, r, from, to, sv, x1, r2, run);
}

LUMETTA_IR_CLONES void resonatorSumsB(const double* du, const double* r, int64_t from, int64_t to,
                                      const vd* sv, const vd* x1, const vd* r2, ResonatorRun& run) {
    resonatorSumsLanes<false>(du, r, from, to, sv, x1, r2, run);
}

}  // namespace lumetta::ir::kernels
