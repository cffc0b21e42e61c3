#pragma once

// Preparation of the fit target: the first channel, truncated, minimum-phase, resampled to
// 48 kHz, extended below 30 Hz and normalised between 200 and 300 Hz.

#include <cstdint>
#include <vector>

#include "ir/IrControl.h"

namespace lumetta::ir {

/// The prepared target and the facts the fit needs.
struct PreparedTarget {
    std::vector<double> target;   ///< L samples at 48 kHz
    int64_t sampleCount = 0;      ///< source frames used, after truncation
    int64_t resampledLength = 0;  ///< L
    bool boost = false;           ///< some bin from 1 kHz up is above +4 dB
    bool completed = false;       ///< false when cancelled
};

/// Frames of a file at `sampleRate` that the preparation uses: the truncation length, never
/// more than kMaxLength, never more than `frames`. `sampleRate` > 0.
int64_t usableFrames(int sampleRate, int64_t frames);

/// Runs the preparation on interleaved `samples` (`frames` x `channels`, may be null for none);
/// false when `control` asked to cancel. Uses up to `threads` threads. Blocking.
bool prepareTarget(const double* samples, uint32_t channels, int sampleRate, int64_t frames,
                   PreparedTarget& out, IrControl& control, int threads = 2);

/// Replaces x[0..n) by its minimum-phase version (same magnitude spectrum). Counts a step on
/// `control` after each transform and the fold when given; false when it asked to cancel.
bool minimumPhase(double* x, int64_t n, IrControl* control, int threads = 1);

/// Replaces the bins below 30 Hz of a packed spectrum of `size` values at 48 kHz by the first
/// bin at or above 30 Hz, falling 12 dB per octave towards 0 Hz.
void extendBelow30Hz(double* data, int64_t size);

/// Builds the target from the 48 kHz IR `ir` of length L >= 1 into `out.target`/`out.boost`;
/// false when `control` asked to cancel.
bool buildTarget(const double* ir, int64_t length, PreparedTarget& out, IrControl* control,
                 int threads = 1);

/// Band-limited resampling of x[0..n) at `sampleRate` to `lout` samples at 48 kHz into y.
/// False when cancelled.
bool resampleTo48k(const double* x, int64_t n, int sampleRate, double* y, int64_t lout,
                   IrControl& control, int threads);

}  // namespace lumetta::ir
