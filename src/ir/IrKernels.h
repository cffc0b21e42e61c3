#pragma once

// The fit's vector kernels: candidate sections scored four at a time, one per lane, and the
// resonator sums. Every lane does exactly the operations a single candidate would, in the same
// order; the build forbids contraction into fused multiply-adds, so the lanes give the same
// doubles as a plain scalar loop would.

#include <atomic>
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

/// The error against `t` of 1, 2 or 3 cascaded sections per lane over the shared input `x`.
/// Stops early once every lane's running sum is above `best` (the terms are squares, so such
/// a sum can only grow); true when the sums in `err` are complete. Any thread.
bool cascade1(const double* x, const double* t, int64_t length, const LaneBiquad* sec,
              const std::atomic<double>& best, vd& err);
bool cascade2(const double* x, const double* t, int64_t length, const LaneBiquad* sec,
              const std::atomic<double>& best, vd& err);
bool cascade3(const double* x, const double* t, int64_t length, const LaneBiquad* sec,
              const std::atomic<double>& best, vd& err);

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
