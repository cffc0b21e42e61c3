#include "ir/CIrDataConv.h"

#include <syslog.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "audio/CWaveUtil.h"
#include "ir/IrFit.h"
#include "ir/IrPrepare.h"

namespace lumetta::ir {

namespace {
struct StageRow {
    int start;
    int steps;
    int next;
};
constexpr StageRow kStages[kIrStageCount] = {
    {0, 0, 0},     {0, 24, 3},    {3, 6, 4},      {4, 0, 4},     {4, 0, 4},   {4, 18, 6},
    {6, 90, 28},   {28, 36, 32},  {32, 90, 32},   {32, 0, 32},   {32, 0, 34}, {34, 702, 50},
    {50, 702, 67}, {67, 702, 83}, {83, 702, 100}, {100, 1, 100},
};

std::optional<std::string> defaultTemporaryDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = (tmp && *tmp == '/') ? tmp : "/tmp";
    if (dir.back() != '/') dir.push_back('/');
    return dir;
}
}  // namespace

CIrDataConv& CIrDataConv::getInstance() {
    static CIrDataConv instance;
    return instance;
}

CIrDataConv::CIrDataConv() : temporaryDirectory_(defaultTemporaryDirectory) {}

CIrDataConv::~CIrDataConv() {
    // At exit the receivers of the event may already be gone: a run stopped here says nothing.
    {
        std::lock_guard guard(configLock_);
        sink_ = nullptr;
    }
    SetCancel(1);
    if (worker_.joinable()) worker_.join();
}

void CIrDataConv::log(const char* message) {
    syslog(LOG_INFO, "%s", message);
}

void CIrDataConv::setEventSink(std::function<void(const nlohmann::json&)> sink) {
    std::lock_guard guard(configLock_);
    sink_ = std::move(sink);
}

void CIrDataConv::setTemporaryDirectory(std::function<std::optional<std::string>()> provider) {
    std::lock_guard guard(configLock_);
    temporaryDirectory_ = std::move(provider);
}

int32_t CIrDataConv::Convert(const std::string& path) {
    if (path.empty() || running_.load()) return 0;
    audio::CWaveUtil wave;
    if (!wave.openWav(path)) return -1;
    const int channels = wave.getCh();
    if (channels < 1 || channels > 2 || wave.getSampleRate() <= 0) return -1;
    // Only the first frames ever reach the analysis; a long or lying file costs no more.
    const int64_t frames = usableFrames(wave.getSampleRate(), wave.getSamples());
    std::vector<double> samples(static_cast<size_t>(frames * channels));
    if (!wave.loadWav(samples.data(), static_cast<uint32_t>(samples.size()))) return -1;
    // Infinities or NaNs in a float file would turn every spectrum and error into NaN.
    for (double v : samples)
        if (!std::isfinite(v)) return -1;
    if (GetCancel() == 1) return 0;
    state_.channels = static_cast<uint32_t>(channels);
    state_.sampleRate = wave.getSampleRate();
    state_.sampleCount = frames;
    state_.samples = std::move(samples);
    return 1;
}

bool CIrDataConv::Calc(int ch) {
    (void)ch;
    bool expected = false;
    if (!running_.compare_exchange_strong(expected, true)) return false;
    if (worker_.joinable()) worker_.join();
    // The analysis clears these too, but only once its thread runs: until then a page asking
    // for progress would read the last run's figure, 100, and then see it fall.
    state_.control.reset();
    state_.progressMax.store(0);
    worker_ = std::thread([this] { CalcBody(); });
    return true;
}

void CIrDataConv::wait() {
    if (worker_.joinable()) worker_.join();
}

bool CIrDataConv::IirCalc() {
    IrControl& control = state_.control;
    state_.progressMax.store(0);
    PreparedTarget prepared;
    const bool prepared_ok =
        prepareTarget(state_.samples.empty() ? nullptr : state_.samples.data(), state_.channels,
                      state_.sampleRate, state_.sampleCount, prepared, control, threads_);
    state_.samples.clear();
    state_.samples.shrink_to_fit();
    if (!prepared_ok || control.cancelled()) return false;
    FitResult fit;
    if (!fitFilters(prepared.target, prepared.boost, fit, control, threads_)) return false;
    state_.sections = fit.sections;
    state_.resonators = fit.resonators;
    state_.sparseCount = fit.sparseCount;
    state_.sparse = fit.sparse;
    state_.bestError = fit.bestError;
    state_.params = fit.params;
    return true;
}

bool CIrDataConv::SavePrm(const std::string& path) const {
    FitResult r;
    r.sections = state_.sections;
    r.resonators = state_.resonators;
    r.sparseCount = state_.sparseCount;
    r.sparse = state_.sparse;
    return writeFloats(path.c_str(), parameterFloats(r));
}

bool CIrDataConv::SaveInitPrm(const std::string& path) const {
    return writeFloats(path.c_str(), neutralParameterFloats());
}

int CIrDataConv::GetProgress() {
    const uint32_t stage = state_.control.stage.load();
    if (stage >= 1 && stage < kIrStageCount) {
        const StageRow& row = kStages[stage];
        if (row.steps > 0) {
            // Steps are counted from the start of the stage: the table gives each stage's own
            // expected count.
            const uint32_t count = state_.control.stepCount.load();
            const uint32_t base = state_.control.stageBase.load();
            const uint32_t steps = count > base ? count - base : 0;
            int value = row.start + static_cast<int>(static_cast<double>(steps) / row.steps *
                                                     (row.next - row.start));
            // A stage that takes a step more than the table expects does not run ahead.
            if (value > row.next) value = row.next;
            int current = state_.progressMax.load();
            while (value > current && !state_.progressMax.compare_exchange_weak(current, value)) {
            }
        }
    }
    int current = state_.progressMax.load();
    if (current > 100) {
        state_.progressMax.store(100);
        return 100;
    }
    if (current <= 0) {
        state_.progressMax.store(1);
        return 1;
    }
    return current;
}

void CIrDataConv::CalcBody() {
    bool ok = false;
    if (GetCancel() != 1) ok = IirCalc();
    std::optional<std::string> dir;
    std::function<void(const nlohmann::json&)> sink;
    {
        std::lock_guard guard(configLock_);
        dir = temporaryDirectory_ ? temporaryDirectory_() : std::nullopt;
        sink = sink_;
    }
    const std::string path = dir ? *dir + kOutputName : std::string();
    nlohmann::json dict = nlohmann::json::object();
    if (GetCancel() == 1 || !ok) {
        log("Cancel");
        dict["result"] = 1;
        dict["cancel"] = "aborted";
    } else if (path.empty() || !SavePrm(path)) {
        // Announcing "finished" here would point the page at a missing or stale file.
        log("complete");
        dict["result"] = 0;
        dict["load"] = "failed";
        dict["path"] = path;
    } else {
        log("complete");
        dict["result"] = 1;
        dict["load"] = "finished";
        dict["path"] = path;
    }
    running_.store(false);
    if (sink) sink(dict);
}

}  // namespace lumetta::ir
