#include "ir/IrFit.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "ir/IrKernels.h"
#include "ir/IrThreads.h"

namespace lumetta::ir {

namespace {

using kernels::LaneBiquad;
using kernels::lanes;
using kernels::vd;
using kernels::W;

// One section over a whole buffer, as the model defines it.
void section(const Biquad& s, const double* x, double* y, int64_t length) {
    double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
    for (int64_t n = 0; n < length; ++n) {
        const double v = s.b0 * x[n] + s.b1 * x1 + s.b2 * x2 + s.c1 * y1 + s.c2 * y2;
        x2 = x1;
        x1 = x[n];
        y2 = y1;
        y1 = v;
        y[n] = v;
    }
}

struct Outcome {
    bool kept = false;
    int64_t index = -1;
    double error = 0.0;
};

// Candidates a thread takes at a time.
constexpr int64_t kSearchClaim = 8 * W;
// Candidates between two probes.
constexpr int64_t kProbeStride = 32 * W;

// Runs `count` candidates in grid order semantics: the result is the candidate a sequential
// scan keeping "E <= best" would end with, i.e. the last one of least error, when that error is
// <= startBest. Candidates are evaluated W at a time on `threads` threads; each thread keeps its
// own least error (ties to the later index) and the threads share the best error for stopping.
// The order of evaluation does not matter: a candidate stops early only when its error is above
// one some candidate has, and that one or a better one is kept. So a sparse probe of the whole
// grid goes first, to give the full pass a low error to stop at from its start; the probed
// candidates come again in the full pass, where they give the same errors.
template <int S, class Design>
Outcome runSearch(const double* x, const double* t, int64_t length, int64_t count, double startBest,
                  int threads, IrControl& control, int64_t perStep, Design design) {
    using kernels::CascadeSlot;
    using kernels::kSlots;
    std::atomic<double> shared{startBest};
    std::atomic<int64_t> next{0};
    std::atomic<int64_t> done{0};
    struct Local {
        double e = std::numeric_limits<double>::infinity();
        int64_t index = -1;
    };
    std::vector<Local> locals(static_cast<size_t>(std::max(1, threads)));
    const int64_t probes = count / kProbeStride;
    std::atomic<int64_t> nextProbe{0};
    auto worker = [&](size_t which) {
        Local& local = locals[which];
        auto record = [&](int64_t first, int n, const vd& e) {
            for (int l = 0; l < n; ++l) {
                double current = shared.load(std::memory_order_relaxed);
                if (!(e[l] <= current)) continue;
                if (e[l] < local.e || (e[l] == local.e && first + l > local.index)) {
                    local.e = e[l];
                    local.index = first + l;
                }
                while (e[l] < current && !shared.compare_exchange_weak(current, e[l])) {
                }
            }
        };
        // The probes, then the claims of several vectors: most candidates end after a few
        // hundred samples, and a shared counter per vector cost about as much as the vector.
        bool probing = true;
        int64_t claimNext = 0, claimEnd = 0;
        auto nextVector = [&](int64_t& first, int& n) {
            if (control.cancelled()) return false;
            if (probing) {
                const int64_t p = nextProbe.fetch_add(1, std::memory_order_relaxed);
                if (p < probes) {
                    first = p * kProbeStride + kProbeStride / 2;
                    n = W;
                    return true;
                }
                probing = false;
            }
            if (claimNext >= claimEnd) {
                const int64_t start = next.fetch_add(kSearchClaim, std::memory_order_relaxed);
                if (start >= count) return false;
                claimNext = start;
                claimEnd = std::min(count, start + kSearchClaim);
                if (perStep > 0) {
                    const int64_t taken = claimEnd - start;
                    const int64_t old = done.fetch_add(taken, std::memory_order_relaxed);
                    const int64_t steps = (old + taken) / perStep - old / perStep;
                    if (steps > 0) control.step(static_cast<uint32_t>(steps));
                }
            }
            first = claimNext;
            n = static_cast<int>(std::min<int64_t>(W, claimEnd - claimNext));
            claimNext += n;
            return true;
        };
        // Up to kSlots vectors run side by side; one that ends makes room for the next.
        CascadeSlot slots[kSlots];
        int64_t firsts[kSlots];
        int counts[kSlots];
        int active = 0;
        auto fill = [&] {
            while (active < kernels::slotsFor(S) && nextVector(firsts[active], counts[active])) {
                design(firsts[active], counts[active], slots[active].sec);
                kernels::resetSlot(slots[active]);
                ++active;
            }
        };
        fill();
        while (active > 0) {
            if constexpr (S == 1)
                kernels::advance1(x, t, length, slots, active);
            else if constexpr (S == 2)
                kernels::advance2(x, t, length, slots, active);
            else
                kernels::advance3(x, t, length, slots, active);
            // Every lane's sum above the best error: the terms are squares, so it only grows.
            const double limit = shared.load(std::memory_order_relaxed);
            for (int k = 0; k < active;) {
                const CascadeSlot& c = slots[k];
                const bool beaten =
                    c.err[0] > limit && c.err[1] > limit && c.err[2] > limit && c.err[3] > limit;
                const bool complete = c.done == length;
                if (complete && !beaten) record(firsts[k], counts[k], c.err);
                if (!complete && !beaten) {
                    ++k;
                    continue;
                }
                --active;
                if (k != active) {
                    slots[k] = slots[active];
                    firsts[k] = firsts[active];
                    counts[k] = counts[active];
                }
            }
            fill();
        }
    };
    runWorkers(static_cast<int>(locals.size()), [&](int k) { worker(static_cast<size_t>(k)); });
    Outcome out;
    for (const Local& l : locals) {
        if (l.index < 0) continue;
        if (!out.kept || l.e < out.error || (l.e == out.error && l.index > out.index)) {
            out.kept = true;
            out.error = l.e;
            out.index = l.index;
        }
    }
    if (out.kept && !(out.error <= startBest)) out.kept = false;
    return out;
}

std::vector<double> table(const Grid& g, double (*f)(double)) {
    std::vector<double> v(static_cast<size_t>(g.count));
    for (int i = 0; i < g.count; ++i) v[static_cast<size_t>(i)] = f(g[i]);
    return v;
}

constexpr int kCoarse = grid::resCoarseD.count;
constexpr int kFine = 2 * grid::resFineSpan + 1;
constexpr int kResT = grid::resMs.count;
static_assert(kCoarse > 0 && kFine > 0 && kResT > 0, "the resonator grids are not empty");

// What the four resonator searches share: the candidate grid (pairs of frequency and decay,
// frequency-major) and each pair's sum of z^2, NaN until a search has summed it (a search may
// stop a pair's sums early, and a later one then sums it).
struct ResonatorTables {
    int64_t pairs = 0;
    int dLow = 0;
    std::vector<double> gainByD;  // linear gain of each whole dB from dLow
    std::vector<double> coarseGain;
    std::vector<Resonance> reso;
    std::vector<double> sumZ2;
    double gain(int d) const { return gainByD[static_cast<size_t>(d - dLow)]; }
};

// One search's residual r = target - model, the base response's differences du, A = sum r^2,
// the magnitude the rounding bound scales with, and tail[n] = sum of r^2 from n on.
struct Residual {
    std::vector<double> du, r, tail;
    double a = 0.0;
    double scale = 0.0;
    double margin(double w, double c) const;
};

// Per mode and pair (a slot): the coarse gain chosen and each fine gain's error bounds.
struct CandidateBounds {
    std::vector<double> lo, hi;
    std::vector<int> coarse;
};

class Fitter {
  public:
    Fitter(const std::vector<double>& target, IrControl& control, int threads)
        : t_(target.data()),
          length_(static_cast<int64_t>(target.size())),
          control_(control),
          threads_(std::max(1, threads)),
          delta_(static_cast<size_t>(length_), 0.0),
          hp_(static_cast<size_t>(length_)),
          hs_(static_cast<size_t>(length_)),
          tmp_(static_cast<size_t>(length_)),
          chain_(static_cast<size_t>(length_)),
          base_(static_cast<size_t>(length_)),
          model_(static_cast<size_t>(length_)),
          z_(static_cast<size_t>(length_)) {
        delta_[0] = 1.0;
    }

    bool run(bool boost, FitResult& out);

  private:
    bool cancelled() const { return control_.cancelled(); }
    void note() { trace_.searchBest.push_back(best_); }
    Outcome searchHighPass(const double* input, const Grid& fg, const Grid& qg, int64_t perStep);
    Outcome searchShelf(const Grid& dg, const Biquad* after);
    Outcome searchPeak(const double* input, const Grid& fg, const Grid& qg, const Grid& dg,
                       int64_t perStep, double startBest);
    void shelfChain();
    bool jointSearch();
    bool resonators();
    ResonatorTables resonatorTables() const;
    void residual(Residual& res) const;
    int exactCoarse(const ResonatorTables& tables, int64_t pair, int mode,
                    std::vector<double>& z) const;
    bool partialSums(ResonatorTables& tables, const Residual& res, int64_t first, int nl,
                     const kernels::vd* sv, const kernels::vd* x1, const kernels::vd* r2,
                     const std::atomic<double>& least, double* b) const;
    bool boundPairs(ResonatorTables& tables, const Residual& res, int64_t first, int nl,
                    CandidateBounds& bounds, std::atomic<double>& least,
                    std::vector<double>& z) const;
    bool boundCandidates(ResonatorTables& tables, const Residual& res, CandidateBounds& bounds);
    int64_t scoreCandidates(const ResonatorTables& tables, const CandidateBounds& bounds,
                            double& best);
    void applyResonator(int i, const ResonatorTables& tables, const CandidateBounds& bounds,
                        int64_t winner, double best);
    double exactResonatorError(const double* z, double w, double limit) const;
    void basis(const Resonance& r, double* z) const;

    const double* t_;
    int64_t length_;
    IrControl& control_;
    int threads_;
    std::vector<double> delta_, hp_, hs_, tmp_, chain_, base_, model_;
    std::vector<double> z_;  // a resonator basis, on the fitting thread
    FitParams p_;
    double best_ = 1000.0;
    FitTrace trace_;
};

Outcome Fitter::searchHighPass(const double* input, const Grid& fg, const Grid& qg,
                               int64_t perStep) {
    const std::vector<double> ks = table(fg, warp);
    const int64_t count = static_cast<int64_t>(fg.count) * qg.count;
    return runSearch<1>(input, t_, length_, count, best_, threads_, control_, perStep,
                        [&](int64_t first, int n, LaneBiquad* sec) {
                            Biquad c[W];
                            for (int l = 0; l < n; ++l) {
                                const int64_t i = first + l;
                                c[l] = highPassK(ks[static_cast<size_t>(i / qg.count)],
                                                 qg[static_cast<int>(i % qg.count)]);
                            }
                            sec[0] = lanes(c, n);
                        });
}

// Designs the `n` candidates from `first` of a frequency x Q x gain grid (gain fastest), in
// grid order, from the prewarped frequencies `ks` and linear gains `gs`.
template <class Design>
void gridCandidates(Biquad* c, int64_t first, int n, int64_t perF, const Grid& qg, const Grid& dg,
                    const std::vector<double>& ks, const std::vector<double>& gs, Design design) {
    for (int l = 0; l < n; ++l) {
        const int64_t i = first + l;
        const int fi = static_cast<int>(i / perF);
        const int qi = static_cast<int>((i / dg.count) % qg.count);
        const int di = static_cast<int>(i % dg.count);
        c[l] = design(ks[static_cast<size_t>(fi)], qg[qi], gs[static_cast<size_t>(di)]);
    }
}

// HS_B(HS_A(HP(delta))), then `after` when given, over the shelf grid with gains `dg`.
Outcome Fitter::searchShelf(const Grid& dg, const Biquad* after) {
    const Grid& fg = grid::hsF;
    const Grid& qg = grid::hsQ;
    const std::vector<double> ks = table(fg, warp);
    const std::vector<double> gs = table(dg, gainOf);
    const int64_t perF = static_cast<int64_t>(qg.count) * dg.count;
    const int64_t count = perF * fg.count;
    const LaneBiquad fixed = lanes(after ? *after : Biquad{});
    auto design = [&](int64_t first, int n, LaneBiquad* sec) {
        Biquad c[W];
        gridCandidates(c, first, n, perF, qg, dg, ks, gs, highShelfK);
        sec[0] = sec[1] = lanes(c, n);
        sec[2] = fixed;
    };
    if (after)
        return runSearch<3>(hp_.data(), t_, length_, count, best_, threads_, control_, perF,
                            design);
    return runSearch<2>(hp_.data(), t_, length_, count, best_, threads_, control_, perF, design);
}

Outcome Fitter::searchPeak(const double* input, const Grid& fg, const Grid& qg, const Grid& dg,
                           int64_t perStep, double startBest) {
    const std::vector<double> ks = table(fg, warp);
    const std::vector<double> gs = table(dg, gainOf);
    const int64_t perF = static_cast<int64_t>(qg.count) * dg.count;
    const int64_t count = perF * fg.count;
    return runSearch<1>(input, t_, length_, count, startBest, threads_, control_, perStep,
                        [&](int64_t first, int n, LaneBiquad* sec) {
                            Biquad c[W];
                            gridCandidates(c, first, n, perF, qg, dg, ks, gs, peakingK);
                            sec[0] = lanes(c, n);
                        });
}

// hs_ = HS_B(HS_A(hp_)) with the current shelf.
void Fitter::shelfChain() {
    const Biquad hs = hsSection(p_);
    section(hs, hp_.data(), tmp_.data(), length_);
    section(hs, tmp_.data(), hs_.data(), length_);
}

// High shelf at the fixed lowest gain with a peaking filter on top, every combination of a
// coarse grid. The shelf's two sections are computed once per shelf frequency and Q.
bool Fitter::jointSearch() {
    const Grid& fg = grid::jointHsF;
    const Grid& qg = grid::jointQ;
    const int64_t perOuter =
        static_cast<int64_t>(grid::jointPkF.count) * grid::jointQ.count * grid::jointPkD.count;
    const double g = gainOf(grid::jointHsD);
    Outcome total;
    double best = best_;
    for (int fi = 0; fi < fg.count; ++fi) {
        for (int qi = 0; qi < qg.count; ++qi) {
            const Biquad hs = highShelf(fg[fi], qg[qi], g);
            section(hs, hp_.data(), tmp_.data(), length_);
            section(hs, tmp_.data(), chain_.data(), length_);
            const Outcome o =
                searchPeak(chain_.data(), grid::jointPkF, grid::jointQ, grid::jointPkD, 0, best);
            if (cancelled()) return false;
            if (o.kept && o.error <= best) {
                best = o.error;
                total.kept = true;
                total.error = o.error;
                total.index = (static_cast<int64_t>(fi) * qg.count + qi) * perOuter + o.index;
            }
        }
        control_.step();
    }
    if (total.kept) {
        const int64_t outer = total.index / perOuter;
        const int64_t inner = total.index % perOuter;
        const int64_t perF = static_cast<int64_t>(grid::jointQ.count) * grid::jointPkD.count;
        p_.hsOn = p_.pkOn = true;
        p_.hsF = fg[static_cast<int>(outer / qg.count)];
        p_.hsQ = qg[static_cast<int>(outer % qg.count)];
        p_.hsD = grid::jointHsD;
        p_.pkF = grid::jointPkF[static_cast<int>(inner / perF)];
        p_.pkQ =
            grid::jointQ[static_cast<int>((inner / grid::jointPkD.count) % grid::jointQ.count)];
        p_.pkD = grid::jointPkD[static_cast<int>(inner % grid::jointPkD.count)];
        best_ = best;
    } else {
        p_.hsOn = p_.pkOn = false;
    }
    return true;
}

void Fitter::basis(const Resonance& r, double* z) const {
    double u1 = 0.0, z1 = 0.0, z2 = 0.0;
    for (int64_t n = 0; n < length_; ++n) {
        const double v = r.sv * (base_[n] - u1) + r.x1 * z1 - r.r2 * z2;
        u1 = base_[n];
        z2 = z1;
        z1 = v;
        z[n] = v;
    }
}

// The model's error with w z added, stopping once above `limit` (the result is then > limit).
double Fitter::exactResonatorError(const double* z, double w, double limit) const {
    double e = 0.0;
    for (int64_t n = 0; n < length_; ++n) {
        const double d = t_[n] - (model_[n] + w * z[n]);
        e += d * d;
        if ((n & 63) == 63 && e > limit) return e;
    }
    return e;
}

// Resonator searches. The error of gain w on basis z is E(w) = A - 2 w B + w^2 C with
// A = sum r^2, B = sum r z, C = sum z^2 and r = target - model: one pass per frequency and
// decay serves both modes and every gain. That closed form is only an estimate of the error
// summed term by term, so it only rules candidates out: a candidate whose estimate is above
// the least estimate by more than both error bounds cannot win, and every remaining one is
// scored exactly as the model defines, in grid order.

ResonatorTables Fitter::resonatorTables() const {
    ResonatorTables tables;
    tables.pairs = static_cast<int64_t>(grid::resF.count) * kResT;
    tables.dLow = static_cast<int>(grid::resCoarseD[0]) - grid::resFineSpan;
    const int dHigh = static_cast<int>(grid::resCoarseD[kCoarse - 1]) + grid::resFineSpan;
    tables.gainByD.resize(static_cast<size_t>(dHigh - tables.dLow + 1));
    for (int d = tables.dLow; d <= dHigh; ++d)
        tables.gainByD[static_cast<size_t>(d - tables.dLow)] = gainOf(static_cast<double>(d));
    tables.coarseGain = table(grid::resCoarseD, gainOf);
    tables.reso.resize(static_cast<size_t>(tables.pairs));
    // Unknown until a search sums it.
    tables.sumZ2.assign(static_cast<size_t>(tables.pairs),
                        std::numeric_limits<double>::quiet_NaN());
    for (int fi = 0; fi < grid::resF.count; ++fi)
        for (int ti = 0; ti < kResT; ++ti)
            tables.reso[static_cast<size_t>(fi * kResT + ti)] =
                resonance(resOmega(grid::resF[fi]), resTau(grid::resMs[ti]));
    return tables;
}

void Fitter::residual(Residual& res) const {
    double a = 0.0, t2 = 0.0, m2 = 0.0;
    for (int64_t n = 0; n < length_; ++n) {
        res.du[n] = base_[n] - (n > 0 ? base_[n - 1] : 0.0);
        res.r[n] = t_[n] - model_[n];
        a += res.r[n] * res.r[n];
        t2 += t_[n] * t_[n];
        m2 += model_[n] * model_[n];
    }
    res.a = a;
    res.scale = t2 + m2 + a;
    double tail = 0.0;
    res.tail[static_cast<size_t>(length_)] = 0.0;
    for (int64_t n = length_ - 1; n >= 0; --n) {
        tail += res.r[n] * res.r[n];
        res.tail[static_cast<size_t>(n)] = tail;
    }
}

// Both the estimate and the term-by-term sum round; over at most 32768 terms their errors stay
// below 4e-12 of the magnitudes summed, so 1e-10 of them is a safe bound.
double Residual::margin(double w, double c) const {
    return 1e-10 * (scale + 2.0 * std::fabs(w) * std::sqrt(a * c) + w * w * c);
}

// The coarse gain of least exact error for one pair and mode, when the estimates cannot tell.
int Fitter::exactCoarse(const ResonatorTables& tables, int64_t pair, int mode,
                        std::vector<double>& z) const {
    basis(tables.reso[static_cast<size_t>(pair)], z.data());
    double cbest = 1000.0;
    int cd = 0;
    for (int j = 0; j < kCoarse; ++j) {
        const double w = mode == 1 ? tables.coarseGain[j] : -tables.coarseGain[j];
        const double e = exactResonatorError(z.data(), w, cbest);
        if (e <= cbest) {
            cbest = e;
            cd = j;
        }
    }
    return cd;
}

// Samples between two looks at whether a group of pairs can still matter.
constexpr int64_t kResonatorPiece = 256;

// The searches stop summing B (and C) for a group of pairs as soon as none of its candidates
// can be scored. Why that changes nothing:
//
// Scoring takes, in grid order, every candidate whose lower bound lo is <= bound = the least of
// the error to beat and of every upper bound hi (scoreCandidates). `least` is the least of the
// error to beat and of the hi values found so far, so it is never below that final bound. A
// group is dropped only when, for each of its pairs, a lower bound LB of every lo the pair could
// have, for any gain of either sign, is above `least`; its lo and hi are then +infinity. Its
// candidates would have had lo > bound, so they were never scored; their hi >= lo > bound never
// set the bound. Every other pair's sums run in the same order as in one pass (the kernels
// carry their state between pieces), and C in the same order whichever search sums it first, so
// its lo, hi and coarse gain are the same doubles. Hence the same bound, the same candidates
// scored in the same order, the same winner and the same ties.
//
// LB. For gain w, lo = A - 2wB + w^2 C - 1e-10 (S + 2|w| sqrt(AC) + w^2 C), S the scale; its
// rounding is below 1e-5 of that margin (|B| <= sqrt(AC)). So with k = 2e-10, x = |w| sqrt(C):
//   lo >= A - kS - 2x (|B| / sqrt(C) + k sqrt(A)) + (1 - k) x^2
//      >= A - kS - (q + k sqrt(A))^2 / (1 - k)      for any q >= |B| / sqrt(C).
// After n samples, with Bn, Cn the sums so far and T = tail[n] the residual's energy from n
// on, Cauchy-Schwarz on the rest of the sums gives
// |B| <= |Bn| + sqrt(T (C - Cn)), hence both
//   q = |Bn| / sqrt(C) + sqrt(T)          when C is known (a later search), and
//   q = sqrt(Bn^2 / Cn + T)               from the sums so far alone,
// since (|Bn| + sqrt(T) sqrt(C - Cn))^2 <= (Bn^2 / Cn + T) C. The sums round by less than 32768
// ulps of the magnitudes summed; the factors 1 + 1e-9 and the terms 1e-9 sqrt(A) cover that
// many times over, and one more kS covers the rounding of LB itself.
bool beyondReach(double q, const Residual& res, double least) {
    constexpr double k = 2e-10;
    const double sa = std::sqrt(res.a);
    const double s = q * (1.0 + 1e-9) + 1e-9 * sa + k * sa;
    const double lb = res.a - 2.0 * k * res.scale - s * s / (1.0 - k);
    return lb > least;
}

// The bound with C known.
bool beyondReachKnown(double bn, double c, const Residual& res, int64_t n, double least) {
    if (!(c > 0.0) || !std::isfinite(c)) return false;
    const double tail = res.tail[static_cast<size_t>(n)];
    return beyondReach(std::fabs(bn) * (1.0 + 1e-9) / std::sqrt(c) + std::sqrt(tail), res, least);
}

// The bound from the sums so far.
bool beyondReachSoFar(double bn, double cn, const Residual& res, int64_t n, double least) {
    if (!(cn > 0.0) || !std::isfinite(cn)) return false;
    const double tail = res.tail[static_cast<size_t>(n)];
    const double bq = std::fabs(bn) * (1.0 + 1e-9);
    return beyondReach(std::sqrt(bq * bq / cn + tail), res, least);
}

// B of the `nl` pairs from `first` into `b`, and C into the tables unless known, in pieces;
// false, with both incomplete, once none of the pairs can hold a candidate that gets scored.
bool Fitter::partialSums(ResonatorTables& tables, const Residual& res, int64_t first, int nl,
                         const kernels::vd* sv, const kernels::vd* x1, const kernels::vd* r2,
                         const std::atomic<double>& least, double* b) const {
    using namespace kernels;
    // A group's pairs are dropped or summed together: C is known for all or none of them.
    const bool knownC = !std::isnan(tables.sumZ2[static_cast<size_t>(first)]);
    ResonatorRun run;
    for (int g = 0; g < kGroups; ++g) run.z1[g] = run.z2[g] = run.b[g] = run.c[g] = splat(0.0);
    for (int64_t from = 0; from < length_; from += kResonatorPiece) {
        const int64_t to = std::min(length_, from + kResonatorPiece);
        if (knownC)
            resonatorSumsB(res.du.data(), res.r.data(), from, to, sv, x1, r2, run);
        else
            resonatorSumsBC(res.du.data(), res.r.data(), from, to, sv, x1, r2, run);
        if (to == length_) break;
        const double limit = least.load(std::memory_order_relaxed);
        bool reachable = false;
        for (int l = 0; l < nl && !reachable; ++l) {
            const double bn = run.b[l / W][l % W];
            reachable = knownC ? !beyondReachKnown(bn, tables.sumZ2[static_cast<size_t>(first + l)],
                                                   res, to, limit)
                               : !beyondReachSoFar(bn, run.c[l / W][l % W], res, to, limit);
        }
        if (!reachable) return false;
    }
    for (int l = 0; l < nl; ++l) {
        b[l] = run.b[l / W][l % W];
        if (!knownC) tables.sumZ2[static_cast<size_t>(first + l)] = run.c[l / W][l % W];
    }
    return true;
}

// Bounds for the `nl` pairs from `first`: their sums in one vector pass, then per mode the
// coarse gain and the error bounds of the fine gains around it. The pass may find early that
// the pairs cannot matter and mark them so (false). `least` takes the least upper bound found.
bool Fitter::boundPairs(ResonatorTables& tables, const Residual& res, int64_t first, int nl,
                        CandidateBounds& bounds, std::atomic<double>& least,
                        std::vector<double>& z) const {
    using namespace kernels;
    vd sv[kGroups], x1[kGroups], r2[kGroups];
    for (int l = 0; l < kResonatorLanes; ++l) {
        const Resonance& rs = tables.reso[static_cast<size_t>(first + (l < nl ? l : 0))];
        sv[l / W][l % W] = rs.sv;
        x1[l / W][l % W] = rs.x1;
        r2[l / W][l % W] = rs.r2;
    }
    double b[kResonatorLanes], c[kResonatorLanes];
    if (!partialSums(tables, res, first, nl, sv, x1, r2, least, b)) {
        constexpr double out = std::numeric_limits<double>::infinity();
        for (int mode = 1; mode <= 2; ++mode)
            for (int l = 0; l < nl; ++l) {
                const size_t slot = static_cast<size_t>((mode - 1) * tables.pairs + first + l);
                std::fill_n(&bounds.lo[slot * kFine], kFine, out);
                std::fill_n(&bounds.hi[slot * kFine], kFine, out);
            }
        return false;
    }
    for (int l = 0; l < nl; ++l) c[l] = tables.sumZ2[static_cast<size_t>(first + l)];
    const double a = res.a;
    double lowest = std::numeric_limits<double>::infinity();
    for (int l = 0; l < nl; ++l) {
        const int64_t pair = first + l;
        for (int mode = 1; mode <= 2; ++mode) {
            const double sign = mode == 1 ? 1.0 : -1.0;
            double est[kCoarse], mg[kCoarse];
            double leastCoarse = 1000.0;
            for (int j = 0; j < kCoarse; ++j) {
                const double w = sign * tables.coarseGain[j];
                est[j] = a - 2.0 * w * b[l] + w * w * c[l];
                mg[j] = res.margin(w, c[l]);
                leastCoarse = std::min(leastCoarse, est[j] + mg[j]);
            }
            int contenders = 0, only = 0;
            for (int j = 0; j < kCoarse; ++j)
                if (est[j] - mg[j] <= leastCoarse) {
                    ++contenders;
                    only = j;
                }
            int cd;
            if (contenders == 0)
                cd = 0;  // nothing below 1000: the first gain stands
            else if (contenders == 1 && est[only] + mg[only] <= 1000.0)
                cd = only;
            else
                cd = exactCoarse(tables, pair, mode, z);
            const size_t slot = static_cast<size_t>((mode - 1) * tables.pairs + pair);
            bounds.coarse[slot] = cd;
            const int dCentre = static_cast<int>(grid::resCoarseD[cd]);
            for (int j = 0; j < kFine; ++j) {
                const double w = sign * tables.gain(dCentre - grid::resFineSpan + j);
                const double ea = a - 2.0 * w * b[l] + w * w * c[l];
                const double m = res.margin(w, c[l]);
                bounds.lo[slot * kFine + static_cast<size_t>(j)] = ea - m;
                bounds.hi[slot * kFine + static_cast<size_t>(j)] = ea + m;
                lowest = std::min(lowest, ea + m);
            }
        }
    }
    double current = least.load(std::memory_order_relaxed);
    while (lowest < current && !least.compare_exchange_weak(current, lowest)) {
    }
    return true;
}

// Groups of pairs between two probes.
constexpr int64_t kProbeGroup = 8;

// Every pair's bounds, spread over the threads; false when cancelled.
bool Fitter::boundCandidates(ResonatorTables& tables, const Residual& res,
                             CandidateBounds& bounds) {
    const size_t slots = static_cast<size_t>(2 * tables.pairs);
    bounds.lo.assign(slots * kFine, 0.0);
    bounds.hi.assign(slots * kFine, 0.0);
    bounds.coarse.assign(slots, 0);
    // The bound scoring will use is at most this: the error to beat, and each upper bound found.
    std::atomic<double> least{best_};
    // Every eighth group first, spread over all frequencies, so that `least` is low early and
    // the rest stop sooner. The order changes nothing (see beyondReach).
    const int64_t groups = (tables.pairs + kernels::kResonatorLanes - 1) / kernels::kResonatorLanes;
    std::vector<int64_t> order;
    order.reserve(static_cast<size_t>(groups));
    for (int64_t g = kProbeGroup / 2; g < groups; g += kProbeGroup) order.push_back(g);
    for (int64_t g = 0; g < groups; ++g)
        if (g % kProbeGroup != kProbeGroup / 2) order.push_back(g);
    std::atomic<int64_t> next{0}, done{0}, dropped{0};
    runWorkers(threads_, [&](int) {
        std::vector<double> z(static_cast<size_t>(length_));
        for (;;) {
            if (cancelled()) return;
            const int64_t claim = next.fetch_add(1, std::memory_order_relaxed);
            if (claim >= groups) return;
            const int64_t first = order[static_cast<size_t>(claim)] * kernels::kResonatorLanes;
            const int nl =
                static_cast<int>(std::min<int64_t>(kernels::kResonatorLanes, tables.pairs - first));
            if (!boundPairs(tables, res, first, nl, bounds, least, z))
                dropped.fetch_add(nl, std::memory_order_relaxed);
            const int64_t old = done.fetch_add(nl, std::memory_order_relaxed);
            const int64_t steps = 2 * ((old + nl) / kResT - old / kResT);
            if (steps > 0) control_.step(static_cast<uint32_t>(steps));
        }
    });
    trace_.droppedPairs += dropped.load();
    return !cancelled();
}

// Exact scoring, in grid order, of every candidate whose lower bound is not above the least
// upper bound. The winner's index (slot * kFine + fine step) or -1; `best` the error to beat
// on entry and the winner's on return.
int64_t Fitter::scoreCandidates(const ResonatorTables& tables, const CandidateBounds& bounds,
                                double& best) {
    double bound = best;
    for (double h : bounds.hi) bound = std::min(bound, h);
    int64_t winner = -1;
    int64_t cached = -1;
    for (int mode = 1; mode <= 2; ++mode) {
        for (int64_t pair = 0; pair < tables.pairs; ++pair) {
            const size_t slot = static_cast<size_t>((mode - 1) * tables.pairs + pair);
            for (int j = 0; j < kFine; ++j) {
                if (!(bounds.lo[slot * kFine + static_cast<size_t>(j)] <= bound)) continue;
                if (cached != pair) {
                    basis(tables.reso[static_cast<size_t>(pair)], z_.data());
                    cached = pair;
                }
                const int d =
                    static_cast<int>(grid::resCoarseD[bounds.coarse[slot]]) - grid::resFineSpan + j;
                const double g = tables.gain(d);
                const double e = exactResonatorError(z_.data(), mode == 1 ? g : -g, best);
                if (e <= best) {
                    best = e;
                    winner = static_cast<int64_t>(slot) * kFine + j;
                }
            }
        }
    }
    return winner;
}

// Records resonator `i` from the winning candidate (none: the resonator stays off) and adds
// it to the model.
void Fitter::applyResonator(int i, const ResonatorTables& tables, const CandidateBounds& bounds,
                            int64_t winner, double best) {
    if (winner >= 0) {
        const int64_t slot = winner / kFine;
        const int j = static_cast<int>(winner % kFine);
        const int64_t pair = slot % tables.pairs;
        p_.resMode[i] = slot >= tables.pairs ? 2 : 1;
        p_.resF[i] = grid::resF[static_cast<int>(pair / kResT)];
        p_.resMs[i] = grid::resMs[static_cast<int>(pair % kResT)];
        p_.resD[i] = grid::resCoarseD[bounds.coarse[static_cast<size_t>(slot)]] -
                     static_cast<double>(grid::resFineSpan) + static_cast<double>(j);
        best_ = best;
    } else {
        p_.resMode[i] = 0;
    }
    note();
    if (p_.resMode[i] != 0) {
        basis(resonance(resOmega(p_.resF[i]), resTau(p_.resMs[i])), z_.data());
        const double w = resGain(p_.resMode[i], p_.resD[i]);
        for (int64_t n = 0; n < length_; ++n) model_[n] = model_[n] + w * z_[n];
    }
}

bool Fitter::resonators() {
    ResonatorTables tables = resonatorTables();
    Residual res;
    res.du.resize(static_cast<size_t>(length_));
    res.r.resize(static_cast<size_t>(length_));
    res.tail.resize(static_cast<size_t>(length_ + 1));
    CandidateBounds bounds;
    for (int64_t n = 0; n < length_; ++n) model_[n] = base_[n];
    for (int i = 0; i < 4; ++i) {
        control_.setStage(resonatorStage(i));
        residual(res);
        if (!boundCandidates(tables, res, bounds)) return false;
        double best = best_;
        const int64_t winner = scoreCandidates(tables, bounds, best);
        applyResonator(i, tables, bounds, winner, best);
        if (cancelled()) return false;
    }
    return true;
}

bool Fitter::run(bool boost, FitResult& out) {
    // High-pass alone.
    control_.setStage(IrStage::HighPass);
    {
        const Outcome o = searchHighPass(delta_.data(), grid::hpF, grid::hpQ, 0);
        if (o.kept) {
            p_.hpOn = true;
            p_.hpF = grid::hpF[static_cast<int>(o.index / grid::hpQ.count)];
            p_.hpQ = grid::hpQ[static_cast<int>(o.index % grid::hpQ.count)];
            best_ = o.error;
        }
        note();
    }
    if (cancelled()) return false;
    control_.setStage(IrStage::JointShelfPeak);
    section(hpSection(p_), delta_.data(), hp_.data(), length_);

    auto shelfParams = [&](const Outcome& o, const Grid& dg) {
        const int64_t perF = static_cast<int64_t>(grid::hsQ.count) * dg.count;
        p_.hsOn = true;
        p_.hsF = grid::hsF[static_cast<int>(o.index / perF)];
        p_.hsQ = grid::hsQ[static_cast<int>((o.index / dg.count) % grid::hsQ.count)];
        p_.hsD = dg[static_cast<int>(o.index % dg.count)];
        best_ = o.error;
    };
    auto peakParams = [&](const Outcome& o, const Grid& dg) {
        const int64_t perF = static_cast<int64_t>(grid::pkQ.count) * dg.count;
        p_.pkOn = true;
        p_.pkF = grid::pkF[static_cast<int>(o.index / perF)];
        p_.pkQ = grid::pkQ[static_cast<int>((o.index / dg.count) % grid::pkQ.count)];
        p_.pkD = dg[static_cast<int>(o.index % dg.count)];
        best_ = o.error;
    };

    if (boost) {
        control_.setStage(IrStage::BoostShelf);
        {
            const Outcome o = searchShelf(grid::hsDBoost, nullptr);
            if (cancelled()) return false;
            if (o.kept)
                shelfParams(o, grid::hsDBoost);
            else
                p_.hsOn = false;
            note();
        }
        control_.setStage(IrStage::BoostPeak);
        shelfChain();
        {
            const Outcome o =
                searchPeak(hs_.data(), grid::pkF, grid::pkQ, grid::pkDBoost, 0, best_);
            if (cancelled()) return false;
            if (o.kept)
                peakParams(o, grid::pkDBoost);
            else
                p_.pkOn = false;
            note();
        }
        control_.setStage(IrStage::BoostRefit);
    } else {
        control_.setStage(IrStage::JointShelfPeak);
        if (!jointSearch()) return false;
        note();
        control_.setStage(IrStage::Shelf);
        {
            const Biquad pk = pkSection(p_);
            const Outcome o = searchShelf(grid::hsD, &pk);
            if (cancelled()) return false;
            if (o.kept) shelfParams(o, grid::hsD);
            note();
        }
        control_.setStage(IrStage::Peak);
        shelfChain();
        {
            const int64_t perF = static_cast<int64_t>(grid::pkQ.count) * grid::pkD.count;
            const Outcome o = searchPeak(hs_.data(), grid::pkF, grid::pkQ, grid::pkD, perF, best_);
            if (cancelled()) return false;
            if (o.kept) peakParams(o, grid::pkD);
            note();
        }
        control_.setStage(IrStage::CutRefit);
    }

    // The chain without the high-pass, and the high-pass refitted after it.
    {
        const Biquad hs = hsSection(p_);
        section(hs, delta_.data(), tmp_.data(), length_);
        section(hs, tmp_.data(), hs_.data(), length_);
        section(pkSection(p_), hs_.data(), chain_.data(), length_);
        const Outcome o = searchHighPass(chain_.data(), grid::refitF, grid::refitQ, 0);
        if (cancelled()) return false;
        if (o.kept) {
            p_.hpOn = true;
            p_.hpF = grid::refitF[static_cast<int>(o.index / grid::refitQ.count)];
            p_.hpQ = grid::refitQ[static_cast<int>(o.index % grid::refitQ.count)];
            best_ = o.error;
        }
        note();
        section(hpSection(p_), chain_.data(), base_.data(), length_);
    }
    control_.setStage(IrStage::Resonator1);
    if (!resonators()) return false;

    out.params = p_;
    out.bestError = best_;
    out.trace = trace_;
    computeSparseTaps(std::vector<double>(t_, t_ + length_), out, threads_);
    control_.setStage(IrStage::Done);
    control_.step();
    out.completed = true;
    return true;
}

}  // namespace

double tapThreshold(const std::vector<double>& values) {
    std::vector<double> mags;
    mags.reserve(values.size());
    // A NaN is never above a threshold, so it never counts; it must not reach the sort.
    for (double v : values)
        if (!std::isnan(v)) mags.push_back(std::fabs(v));
    std::sort(mags.begin(), mags.end());
    // Same rule as counting every round, with the count read off the sorted magnitudes.
    auto above = [&](double t) {
        return static_cast<int>(mags.end() - std::upper_bound(mags.begin(), mags.end(), t));
    };
    double t = 0.5;
    for (int round = 0; round < kThresholdRounds; ++round) {
        const int n = above(t);
        if (n == kMaxTaps) break;
        const double next = n > kMaxTaps ? 1.5 * t : 0.5 * t;
        const bool stop = next == t || next < 1e-15;
        t = next;
        if (stop) break;
    }
    return t;
}

void keepTaps(std::vector<double>& values, int count, double threshold) {
    std::vector<int> alive;
    for (int i = 0; i < count; ++i) {
        if (!(std::fabs(values[static_cast<size_t>(i)]) > threshold))
            values[static_cast<size_t>(i)] = 0.0;
        else
            alive.push_back(i);
    }
    if (static_cast<int>(alive.size()) <= kMaxTaps) return;
    // The threshold rule may end between two equal magnitudes or run out of rounds; the
    // instrument takes at most 32 taps, so the largest ones stay.
    std::stable_sort(alive.begin(), alive.end(), [&](int x, int y) {
        return std::fabs(values[static_cast<size_t>(x)]) >
               std::fabs(values[static_cast<size_t>(y)]);
    });
    for (size_t k = kMaxTaps; k < alive.size(); ++k) values[static_cast<size_t>(alive[k])] = 0.0;
}

void computeSparseTaps(const std::vector<double>& target, FitResult& out, int threads) {
    const int64_t length = static_cast<int64_t>(target.size());
    computeCoefficients(out);
    const int count = static_cast<int>(std::min<int64_t>(length, 499));
    out.sparseCount = count;
    std::vector<double> y(target), x(static_cast<size_t>(length));
    // Undo the sections in reverse order of the model: HP, PK, HS B, HS A.
    for (int s : {0, 1, 3, 2}) {
        const double* c = &out.sections[static_cast<size_t>(5 * s)];
        if (c[0] == 0.0) continue;  // no inverse
        double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
        for (int64_t n = 0; n < length; ++n) {
            const double v = (y[n] - c[1] * x1 - c[2] * x2 - c[3] * y1 - c[4] * y2) / c[0];
            x2 = x1;
            x1 = v;
            y2 = y1;
            y1 = y[n];
            x[n] = v;
        }
        y.swap(x);
    }
    for (int i = 0; i < 4; ++i) {
        const int mode = out.params.resMode[static_cast<size_t>(i)];
        if (mode == 0) continue;
        const Resonance r = resonance(resOmega(out.params.resF[static_cast<size_t>(i)]),
                                      resTau(out.params.resMs[static_cast<size_t>(i)]));
        const double w = out.resonators[static_cast<size_t>(16 + i)];
        double z1 = 0.0, z2 = 0.0;
        for (int64_t n = 0; n < length; ++n) {
            double z;
            if (n == 0)
                z = r.sv;
            else if (n == 1)
                z = r.sv * (r.x1 - 1.0);
            else
                z = r.x1 * z1 - r.r2 * z2;
            z2 = z1;
            z1 = z;
            y[n] = y[n] - w * z;
        }
    }
    // Band-limit to a third of the band and keep every third value. The kernel depends only on
    // the distance, so it is tabulated once: offset `count` - 1 is distance 0.
    const int64_t span = length + count;
    std::vector<double> kernel(static_cast<size_t>(span));
    for (int64_t d = -(count - 1); d < length; ++d) {
        const double u = kPi * static_cast<double>(d) / 3.0;
        kernel[static_cast<size_t>(d + count - 1)] = u == 0.0 ? 1.0 : std::sin(u) / u;
    }
    std::fill(out.sparse.begin(), out.sparse.end(), 0.0);
    std::vector<double> values(static_cast<size_t>(count), 0.0);
    // Each value is one sum in index order. A sum waits on its previous term, so several are
    // summed side by side, and the blocks of them are shared out over the threads.
    constexpr int kSide = 8;
    const int sums = (count + 2) / 3;
    const int blocks = (sums + kSide - 1) / kSide;
    const int workers = std::max(1, std::min(threads, blocks));
    runWorkers(workers, [&](int worker) {
        for (int block = worker; block < blocks; block += workers) {
            const int c0 = 3 * kSide * block;
            const int n = std::min(kSide, sums - kSide * block);
            double sum[kSide] = {};
            const double* k[kSide];
            for (int j = 0; j < kSide; ++j)
                k[j] = &kernel[static_cast<size_t>(count - 1 - (c0 + 3 * std::min(j, n - 1)))];
            for (int64_t m = 0; m < length; ++m) {
                const double ym = y[m];
                for (int j = 0; j < kSide; ++j) sum[j] += ym * k[j][m];
            }
            for (int j = 0; j < n; ++j) values[static_cast<size_t>(c0 + 3 * j)] = sum[j];
        }
    });
    keepTaps(values, count, tapThreshold(values));
    std::copy(values.begin(), values.end(), out.sparse.begin());
}

bool fitFilters(const std::vector<double>& target, bool boost, FitResult& out, IrControl& control,
                int threads) {
    out = FitResult{};
    if (target.empty()) return false;
    Fitter fitter(target, control, threads);
    return fitter.run(boost, out);
}

}  // namespace lumetta::ir
