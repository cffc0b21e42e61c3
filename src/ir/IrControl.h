#pragma once

#include <atomic>
#include <cstdint>

namespace lumetta::ir {

/// The analysis' stages, numbered as the progress table counts them.
enum class IrStage : uint32_t {
    Idle = 0,
    Resample = 1,        ///< resampling to 48 kHz, with its minimum-phase transforms
    Target = 2,          ///< the normalised minimum-phase target
    Prepared = 3,        ///< the loaded samples released
    HighPass = 4,        ///< high-pass alone
    JointShelfPeak = 5,  ///< shelf and peak together on a coarse grid (cut mode)
    Shelf = 6,           ///< shelf refined (cut mode)
    Peak = 7,            ///< peak refined (cut mode)
    CutRefit = 8,        ///< the high-pass refit after the cut-mode searches
    BoostShelf = 8,      ///< shelf (boost mode)
    BoostPeak = 9,       ///< peak (boost mode)
    BoostRefit = 10,     ///< the high-pass refit after the boost-mode searches
    Resonator1 = 11,     ///< resonators 1 to 4 take stages 11 to 14; the taps end stage 14
    Done = 15,
};
/// Stages 0 .. 15.
inline constexpr uint32_t kIrStageCount = 16;
/// The stage of resonator `index` (0 to 3).
constexpr IrStage resonatorStage(int index) {
    return static_cast<IrStage>(static_cast<uint32_t>(IrStage::Resonator1) +
                                static_cast<uint32_t>(index));
}

/// What the analysis and the page share while a conversion runs: the cancel request and the
/// progress counters. Written by one thread and read by another; every field is atomic.
struct IrControl {
    std::atomic<uint32_t> cancel{0};
    std::atomic<uint32_t> stage{0};
    std::atomic<uint32_t> stepCount{0};
    /// stepCount when the current stage began.
    std::atomic<uint32_t> stageBase{0};

    bool cancelled() const { return cancel.load(std::memory_order_relaxed) == 1; }
    /// Any thread.
    void setStage(IrStage next) {
        const auto s = static_cast<uint32_t>(next);
        // The base is published before the stage, so a reader that sees the new stage also
        // sees its base.
        if (stage.load() != s) {
            stageBase.store(stepCount.load());
            stage.store(s);
        }
    }
    void step(uint32_t n = 1) { stepCount.fetch_add(n, std::memory_order_relaxed); }
    void reset() {
        stage.store(0);
        stepCount.store(0);
        stageBase.store(0);
    }
};

}  // namespace lumetta::ir
