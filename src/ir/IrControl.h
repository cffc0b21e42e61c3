#pragma once

#include <atomic>
#include <cstdint>

namespace lumetta::ir {

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
    void setStage(uint32_t s) {
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
