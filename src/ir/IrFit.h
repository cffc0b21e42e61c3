#pragma once

// The filter fit: exhaustive grid searches over high-pass, peaking, high-shelf and resonator
// parameters, then the sparse taps. Fast, and choosing exactly what evaluating every
// candidate in grid order would choose.

#include <cstdint>
#include <vector>

#include "ir/IrControl.h"
#include "ir/IrModel.h"

namespace lumetta::ir {

/// Fits the model to `target` (the prepared 48 kHz target, length >= 1). Fills `out`
/// (parameters, coefficients, sparse taps, best error, trace); false when cancelled. Uses up to
/// `threads` threads; blocking.
bool fitFilters(const std::vector<double>& target, bool boost, FitResult& out, IrControl& control,
                int threads = 2);

/// The sparse-tap step on a fitted result: residual excitation, band-limit and decimate,
/// threshold to at most 32 taps. Fills out.sparse and out.sparseCount. Uses up to `threads`
/// threads.
void computeSparseTaps(const std::vector<double>& target, FitResult& out, int threads = 1);

/// The threshold rule: the final threshold for `values` (capped number of rounds).
double tapThreshold(const std::vector<double>& values);
/// Rounds of the threshold rule before it gives up.
inline constexpr int kThresholdRounds = 100000;

/// Zeroes every value not above `threshold`, then keeps only the kMaxTaps largest magnitudes
/// (the earlier index on equal magnitudes).
void keepTaps(std::vector<double>& values, int count, double threshold);

}  // namespace lumetta::ir
