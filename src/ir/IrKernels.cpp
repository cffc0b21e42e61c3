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

// The bases depend only on the base response, which the resonator searches share: C is
// summed on the first search and kept.
template <bool WithC>
__attribute__((always_inline)) inline void resonatorSumsLanes(const double* du, const double* r,
                                                              int64_t length, const vd* sv,
                                                              const vd* x1, const vd* r2, vd* bOut,
                                                              vd* cOut) {
    vd z1[kGroups], z2[kGroups], b[kGroups], c[kGroups];
    for (int g = 0; g < kGroups; ++g) z1[g] = z2[g] = b[g] = c[g] = splat(0.0);
    for (int64_t n = 0; n < length; ++n) {
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
        bOut[g] = b[g];
        if (WithC) cOut[g] = c[g];
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

// Resonator bases per lane over the base response's differences du, with the sums
// B = sum r z and C = sum z^2 the closed form of the gain scan needs.
LUMETTA_IR_CLONES void resonatorSumsBC(const double* du, const double* r, int64_t length,
                                       const vd* sv, const vd* x1, const vd* r2, vd* bOut,
                                       vd* cOut) {
    resonatorSumsLanes<true>(du, r, length, sv, x1, r2, bOut, cOut);
}

LUMETTA_IR_CLONES void resonatorSumsB(const double* du, const double* r, int64_t length,
                                      const vd* sv, const vd* x1, const vd* r2, vd* bOut) {
    resonatorSumsLanes<false>(du, r, length, sv, x1, r2, bOut, nullptr);
}

}  // namespace lumetta::ir::kernels
