#pragma once

// The fit's vector kernels: candidate sections scored four at a time, one per lane, and the
// resonator sums. Every lane does exactly the operations a single candidate would, in the same
// order; the build forbids contraction into fused multiply-adds, so the lanes give the same
// doubles as a plain scalar loop would.

#include <cstdint>

#include "ir/IrModel.h"

namespace lumetta::ir::kernels {

typedef double vd __attribute__((vector_size(32)));
/// Candidates per vector.
inline constexpr int W = 4;
/// Vectors of resonator candidates run side by side: each recursion waits on its previous
/// sample and the others fill the gap.
inline constexpr int kGroups = 4;
inline constexpr int kResonatorLanes = W * kGroups;

inline vd splat(double v) {
    return vd{v, v, v, v};
}

/// One section's coefficients per lane.
struct LaneBiquad {
    vd b0, b1, b2, c1, c2;
};

/// The first `n` sections of `s` in lanes 0 .. n-1; the unused lanes repeat the first.
LaneBiquad lanes(const Biquad* s, int n);
/// The same section in every lane.
LaneBiquad lanes(const Biquad& s);

/// Samples a candidate vector runs between two looks at the best error.
inline constexpr int kCascadeChunk = 32;
/// Candidate vectors scored side by side: each section's recursion waits on its previous
/// sample, and the other vectors fill the gap. In a cascade of two or three sections the later
/// sections already fill it, and more state would no longer fit in registers.
inline constexpr int kSlots = 3;
constexpr int slotsFor(int sections) {
    return sections == 1 ? kSlots : 1;
}

/// One vector of candidates part way through scoring: up to three cascaded sections per lane,
/// their last inputs and outputs, the error so far and the samples done.
struct CascadeSlot {
    LaneBiquad sec[3];
    vd x1[3], x2[3], y1[3], y2[3];
    vd err;
    int64_t done;
};

/// Starts `slot` at sample 0 with the sections already in `slot.sec`.
void resetSlot(CascadeSlot& slot);

/// Advances each of the `count` slots by kCascadeChunk samples, or to `length`, of S = 1, 2 or
/// 3 cascaded sections over the shared input `x`, summing the squared difference from `t`.
/// Every lane does a single candidate's operations in order, however the slots are
/// interleaved. Any thread.
void advance1(const double* x, const double* t, int64_t length, CascadeSlot* slots, int count);
void advance2(const double* x, const double* t, int64_t length, CascadeSlot* slots, int count);
void advance3(const double* x, const double* t, int64_t length, CascadeSlot* slots, int count);

/// Where a pass over the resonator bases of kResonatorLanes candidates stands: the last two
/// samples of each basis z and the sums B = sum r z and C = sum z^2 so far. All zeros before
/// sample 0.
struct ResonatorRun {
    vd z1[kGroups], z2[kGroups], b[kGroups], c[kGroups];
};
/// Samples [from, to) of the bases over the base response's differences `du`, with B and C
/// (BC) or B alone (B; `run.c` stays), carried on from `run`. A pass made of consecutive pieces
/// does every lane's operations in the same order as one pass over the whole range, so it ends
/// with the same sums, bit for bit, wherever it was cut. C depends only on the base response,
/// so callers sum it once and keep it.
void resonatorSumsBC(const double* du, const double* r, int64_t from, int64_t to, const vd* sv,
                     const vd* x1, const vd* r2, ResonatorRun& run);
void resonatorSumsB(const double* du, const double* r, int64_t from, int64_t to, const vd* sv,
                    const vd* x1, const vd* r2, ResonatorRun& run);

}  // namespace lumetta::ir::kernels
