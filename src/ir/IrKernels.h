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

/// Resonator bases of kResonatorLanes candidates over the base response's differences `du`,
/// with B = sum r z into `bOut` and, for the BC form, C = sum z^2 into `cOut`. C depends only on
/// the base response, so callers sum it once and keep it.
void resonatorSumsBC(const double* du, const double* r, int64_t length, const vd* sv, const vd* x1,
                     const vd* r2, vd* bOut, vd* cOut);
void resonatorSumsB(const double* du, const double* r, int64_t length, const vd* sv, const vd* x1,
                    const vd* r2, vd* bOut);

}  // namespace lumetta::ir::kernels
