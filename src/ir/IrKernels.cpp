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

void resetSlot(CascadeSlot& slot) {
    for (int s = 0; s < 3; ++s) slot.x1[s] = slot.x2[s] = slot.y1[s] = slot.y2[s] = splat(0.0);
    slot.err = splat(0.0);
    slot.done = 0;
}

namespace {

// One sample of S cascaded sections on one slot's state, in the model's order of operations.
template <int S>
__attribute__((always_inline)) inline void cascadeStep(const LaneBiquad* sec, vd* x1, vd* x2,
                                                       vd* y1, vd* y2, vd& e, double xn,
                                                       double tn) {
    vd in = splat(xn);
    for (int s = 0; s < S; ++s) {
        const vd y = sec[s].b0 * in + sec[s].b1 * x1[s] + sec[s].b2 * x2[s] + sec[s].c1 * y1[s] +
                     sec[s].c2 * y2[s];
        x2[s] = x1[s];
        x1[s] = in;
        y2[s] = y1[s];
        y1[s] = y;
        in = y;
    }
    const vd d = splat(tn) - in;
    e += d * d;
}

// The slots' state is copied into locals for the loop, so that it can live in registers.
template <int S, int K>
__attribute__((always_inline)) inline void advanceTogether(const double* x, const double* t,
                                                           CascadeSlot* slots) {
    vd x1[K][S], x2[K][S], y1[K][S], y2[K][S], e[K];
    LaneBiquad sec[K][S];
    const double* xs[K];
    const double* ts[K];
    for (int k = 0; k < K; ++k) {
        for (int s = 0; s < S; ++s) {
            x1[k][s] = slots[k].x1[s];
            x2[k][s] = slots[k].x2[s];
            y1[k][s] = slots[k].y1[s];
            y2[k][s] = slots[k].y2[s];
            sec[k][s] = slots[k].sec[s];
        }
        e[k] = slots[k].err;
        xs[k] = x + slots[k].done;
        ts[k] = t + slots[k].done;
    }
    for (int i = 0; i < kCascadeChunk; ++i)
        for (int k = 0; k < K; ++k)
            cascadeStep<S>(sec[k], x1[k], x2[k], y1[k], y2[k], e[k], xs[k][i], ts[k][i]);
    for (int k = 0; k < K; ++k) {
        for (int s = 0; s < S; ++s) {
            slots[k].x1[s] = x1[k][s];
            slots[k].x2[s] = x2[k][s];
            slots[k].y1[s] = y1[k][s];
            slots[k].y2[s] = y2[k][s];
        }
        slots[k].err = e[k];
        slots[k].done += kCascadeChunk;
    }
}

template <int S>
__attribute__((always_inline)) inline void advanceSlots(const double* x, const double* t,
                                                        int64_t length, CascadeSlot* slots,
                                                        int count) {
    constexpr int K = slotsFor(S);
    bool whole = count == K;
    for (int k = 0; k < count; ++k) whole = whole && slots[k].done + kCascadeChunk <= length;
    if (whole) {
        advanceTogether<S, K>(x, t, slots);
        return;
    }
    for (int k = 0; k < count; ++k) {
        CascadeSlot& c = slots[k];
        const int64_t end = std::min(length, c.done + kCascadeChunk);
        for (int64_t n = c.done; n < end; ++n)
            cascadeStep<S>(c.sec, c.x1, c.x2, c.y1, c.y2, c.err, x[n], t[n]);
        c.done = end;
    }
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
LUMETTA_IR_CLONES void advance1(const double* x, const double* t, int64_t length,
                                CascadeSlot* slots, int count) {
    advanceSlots<1>(x, t, length, slots, count);
}
LUMETTA_IR_CLONES void advance2(const double* x, const double* t, int64_t length,
                                CascadeSlot* slots, int count) {
    advanceSlots<2>(x, t, length, slots, count);
}
LUMETTA_IR_CLONES void advance3(const double* x, const double* t, int64_t length,
                                CascadeSlot* slots, int count) {
    advanceSlots<3>(x, t, length, slots, count);
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
