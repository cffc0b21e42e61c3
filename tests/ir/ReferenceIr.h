#pragma once

// A literal transcription of the analysis: every candidate of every grid is built into its own
// response buffer and scored over the whole target, in grid order, keeping "E <= best". Slow
// on purpose; the fast engine must end with the same parameter file.

#include <cstdint>
#include <vector>

#include "ir/IrModel.h"

namespace lumetta::ir::reference {

struct Prepared {
    std::vector<double> target;
    int64_t sampleCount = 0;
    bool boost = false;
};

/// The preparation, sums and all, on interleaved samples.
Prepared prepare(const double* samples, uint32_t channels, int sampleRate, int64_t frames);

/// The fit of `target`.
FitResult fit(const std::vector<double>& target, bool boost);

/// The literal minimum-phase step on x[0..n).
void minimumPhase(double* x, int64_t n);

/// The literal error of one resonator candidate, for explaining a difference.
double biquadError(const std::vector<double>& target, const std::vector<double>& response);

}  // namespace lumetta::ir::reference
