#pragma once

// The impulse-response conversion job: load a WAV file, analyse it on a background thread
// with progress and cancel, write the parameter file, announce the outcome.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ir/IrControl.h"
#include "ir/IrModel.h"

namespace lumetta::ir {

/// The engine state of the single conversion.
struct IrConvState {
    std::array<double, 20> sections{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    std::array<double, 20> resonators{};
    int32_t sparseCount = kSparseSize;
    std::vector<double> sparse = std::vector<double>(kSparseSize, 0.0);
    double bestError = 1000.0;
    uint32_t channels = 0;
    int sampleRate = 0;
    int64_t sampleCount = 0;
    std::vector<double> samples;  ///< interleaved frames of the loaded file, empty when none
    IrControl control;            ///< cancel, stage, stepCount
    std::atomic<int32_t> progressMax{0};
    FitParams params;  ///< what the last fit chose
};

/// The process-wide conversion object. Convert, Calc and the getters are called from one
/// controlling thread (the main thread in the application); SetCancel and GetProgress from any
/// thread; the analysis runs on the object's own background thread.
class CIrDataConv {
  public:
    /// The single instance, created on first use; lives until exit.
    static CIrDataConv& getInstance();

    CIrDataConv();
    ~CIrDataConv();
    CIrDataConv(const CIrDataConv&) = delete;
    CIrDataConv& operator=(const CIrDataConv&) = delete;

    /// Loads the WAV file at `path`: 1 on success; 0 when the path is empty, a conversion is
    /// running or a cancel came in while loading; -1 when the file is unreadable, not 1 or 2
    /// channels, has no sample rate or holds non-finite samples. Only the frames the analysis
    /// can use are kept.
    int32_t Convert(const std::string& path);
    /// Starts the analysis of the loaded file on the background thread; false when one runs.
    /// `ch` is accepted and unused: the first channel is analysed.
    bool Calc(int ch = 0);
    /// The analysis itself (preparation, then fitting), on the calling thread; false when
    /// cancelled.
    bool IirCalc();
    /// Writes the parameter file; false when it cannot be written.
    bool SavePrm(const std::string& path) const;
    /// Writes the neutral parameter file; false when it cannot be written.
    bool SaveInitPrm(const std::string& path) const;
    void SetCancel(uint32_t value) { state_.control.cancel.store(value); }
    uint32_t GetCancel() const { return state_.control.cancel.load(); }
    /// Progress percentage 1..100, never going down during a run; any thread.
    int GetProgress();

    /// True from Calc until the outcome has been announced.
    bool isRunning() const { return running_.load(); }
    /// Blocks until the background step has ended.
    void wait();
    /// Receives the outcome dictionary, on the background thread. Set before Calc.
    void setEventSink(std::function<void(const nlohmann::json&)> sink);
    /// Where the parameter file goes (a directory ending in "/"). Set before Calc.
    void setTemporaryDirectory(std::function<std::optional<std::string>()> provider);
    /// Threads the analysis may use (default 2).
    void setThreads(int threads) { threads_ = threads < 1 ? 1 : threads; }
    /// The state; read it only while no analysis runs.
    const IrConvState& state() const { return state_; }
    /// The output file's name.
    static constexpr const char* kOutputName = "KLD00000.tmp";

  private:
    void CalcBody();
    static void log(const char* message);

    IrConvState state_;
    std::atomic<bool> running_{false};
    int threads_ = 2;
    std::mutex configLock_;
    std::function<void(const nlohmann::json&)> sink_;
    std::function<std::optional<std::string>()> temporaryDirectory_;
    std::thread worker_;  // last: stops before the state it uses goes away
};

}  // namespace lumetta::ir
