#include "ir/IrFit.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "ir/IrClones.h"

namespace lumetta::ir {

namespace {

// Four candidates at once, one per lane. Every lane does exactly the operations a single
// candidate would, in the same order; the build forbids contraction into fused multiply-adds.
typedef double vd __attribute__((vector_size(32)));
constexpr int W = 4;
// Samples between two looks at the best error.
constexpr int kChunk = 32;

inline vd splat(double v) {
    return vd{v, v, v, v};
}

struct LaneBiquad {
    vd b0, b1, b2, c1, c2;
};

LaneBiquad lanes(const Biquad* s, int n) {
    LaneBiquad l;
    for (int i = 0; i < W; ++i) {
        const Biquad& b = s[i < n ? i : 0];
        l.b0[i] = b.b0;
        l.b1[i] = b.b1;
        l.b2[i] = b.b2;
        l.c1[i] = b.c1;
        l.c2[i] = b.c2;
    }
    return l;
}

LaneBiquad lanes(const Biquad& s) {
    return {splat(s.b0), splat(s.b1), splat(s.b2), splat(s.c1), splat(s.c2)};
}

// The error of S cascaded sections per lane over the shared input x against t. Stops as soon
// as every lane's running sum is above the best error: the terms are squares, so such a sum
// can only grow. True when the sums are complete.
template <int S>
__attribute__((always_inline)) inline bool cascadeErrorLanes(const double* x, const double* t,
                                                             int64_t length, const LaneBiquad* sec,
                                                             const std::atomic<double>& best,
                                                             vd& err) {
    vd x1[S], x2[S], y1[S], y2[S];
    for (int s = 0; s < S; ++s) x1[s] = x2[s] = y1[s] = y2[s] = splat(0.0);
    vd e = splat(0.0);
    for (int64_t n0 = 0; n0 < length; n0 += kChunk) {
        const int64_t n1 = std::min(length, n0 + kChunk);
        for (int64_t n = n0; n < n1; ++n) {
            vd in = splat(x[n]);
            for (int s = 0; s < S; ++s) {
                const vd y = sec[s].b0 * in + sec[s].b1 * x1[s] + sec[s].b2 * x2[s] +
                             sec[s].c1 * y1[s] + sec[s].c2 * y2[s];
                x2[s] = x1[s];
                x1[s] = in;
                y2[s] = y1[s];
                y1[s] = y;
                in = y;
            }
            const vd d = splat(t[n]) - in;
            e += d * d;
        }
        const double limit = best.load(std::memory_order_relaxed);
        if (e[0] > limit && e[1] > limit && e[2] > limit && e[3] > limit) {
            err = e;
            return false;
        }
    }
    err = e;
    return true;
}

// The same code built for AVX2 where the processor has it: wider registers, identical
// arithmetic per lane.
LUMETTA_IR_CLONES bool cascade1(const double* x, const double* t, int64_t length,
                                const LaneBiquad* sec, const std::atomic<double>& best, vd& err) {
    return cascadeErrorLanes<1>(x, t, length, sec, best, err);
}
LUMETTA_IR_CLONES bool cascade2(const double* x, const double* t, int64_t length,
                                const LaneBiquad* sec, const std::atomic<double>& best, vd& err) {
    return cascadeErrorLanes<2>(x, t, length, sec, best, err);
}
LUMETTA_IR_CLONES bool cascade3(const double* x, const double* t, int64_t length,
                                const LaneBiquad* sec, const std::atomic<double>& best, vd& err) {
    return cascadeErrorLanes<3>(x, t, length, sec, best, err);
}

// Resonator bases per lane over the base response's differences du, with the sums
// B = sum r z and C = sum z^2 the closed form of the gain scan needs. kGroups vectors run side
// by side: each recursion waits on its previous sample, the others fill the gap.
constexpr int kGroups = 4;
constexpr int kResonatorLanes = W * kGroups;

// The bases depend only on the base response, which the resonator searches share: C is
// summed on the first search and kept.
template <bool WithC>
__attribute__((always_inline)) inline void resonatorSumsLanes(const double* du, const double* r,
                                                              int64_t length, const vd* sv,
                                                              const vd* x1, const vd* r2, vd* bOut,
                                                              vd* cOut) {
    vd z1[kGroups], z2[kGroups], b[kGroups], c[kGroups];
    for (int g = 0; g < kGroups; ++g) z1[g] = z2[g] = b[g] = c[g] = splat(0.0);
    for (int64_t n = 0; n < length; ++n) {
        const vd d = splat(du[n]);
        const vd rn = splat(r[n]);
        for (int g = 0; g < kGroups; ++g) {
            const vd v = sv[g] * d + x1[g] * z1[g] - r2[g] * z2[g];
            z2[g] = z1[g];
            z1[g] = v;
            b[g] += rn * v;
            if (WithC) c[g] += v * v;
        }
    }
    for (int g = 0; g < kGroups; ++g) {
        bOut[g] = b[g];
        if (WithC) cOut[g] = c[g];
    }
}

LUMETTA_IR_CLONES void resonatorSumsBC(const double* du, const double* r, int64_t length,
                                       const vd* sv, const vd* x1, const vd* r2, vd* bOut,
                                       vd* cOut) {
    resonatorSumsLanes<true>(du, r, length, sv, x1, r2, bOut, cOut);
}

LUMETTA_IR_CLONES void resonatorSumsB(const double* du, const double* r, int64_t length,
                                      const vd* sv, const vd* x1, const vd* r2, vd* bOut) {
    resonatorSumsLanes<false>(du, r, length, sv, x1, r2, bOut, nullptr);
}

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

// Runs `count` candidates in grid order semantics: the result is the candidate a sequential
// scan keeping "E <= best" would end with, i.e. the last one of least error, when that error is
// <= startBest. Candidates are evaluated W at a time on `threads` threads; each thread keeps its
// own least error (ties to the later index) and the threads share the best error for stopping.
template <class Eval>
Outcome runSearch(int64_t count, double startBest, int threads, IrControl& control, int64_t perStep,
                  Eval eval) {
    std::atomic<double> shared{startBest};
    std::atomic<int64_t> next{0};
    std::atomic<int64_t> done{0};
    struct Local {
        double e = std::numeric_limits<double>::infinity();
        int64_t index = -1;
    };
    std::vector<Local> locals(static_cast<size_t>(std::max(1, threads)));
    auto worker = [&](size_t which) {
        Local& local = locals[which];
        for (;;) {
            if (control.cancelled()) return;
            const int64_t first = next.fetch_add(W, std::memory_order_relaxed);
            if (first >= count) return;
            const int n = static_cast<int>(std::min<int64_t>(W, count - first));
            vd e;
            if (eval(first, n, shared, e)) {
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
            }
            if (perStep > 0) {
                const int64_t old = done.fetch_add(n, std::memory_order_relaxed);
                const int64_t steps = (old + n) / perStep - old / perStep;
                if (steps > 0) control.step(static_cast<uint32_t>(steps));
            }
        }
    };
    std::vector<std::thread> pool;
    for (size_t i = 1; i < locals.size(); ++i) pool.emplace_back(worker, i);
    worker(0);
    for (auto& th : pool) th.join();
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
          model_(static_cast<size_t>(length_)) {
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
    double exactResonatorError(const double* z, double w, double limit) const;
    void basis(const Resonance& r, double* z) const;

    const double* t_;
    int64_t length_;
    IrControl& control_;
    int threads_;
    std::vector<double> delta_, hp_, hs_, tmp_, chain_, base_, model_;
    FitParams p_;
    double best_ = 1000.0;
    FitTrace trace_;
};

Outcome Fitter::searchHighPass(const double* input, const Grid& fg, const Grid& qg,
                               int64_t perStep) {
    const std::vector<double> ks = table(fg, warp);
    const int64_t count = static_cast<int64_t>(fg.count) * qg.count;
    return runSearch(count, best_, threads_, control_, perStep,
                     [&](int64_t first, int n, const std::atomic<double>& best, vd& e) {
                         Biquad c[W];
                         for (int l = 0; l < n; ++l) {
                             const int64_t i = first + l;
                             c[l] = highPassK(ks[static_cast<size_t>(i / qg.count)],
                                              qg[static_cast<int>(i % qg.count)]);
                         }
                         const LaneBiquad sec[1] = {lanes(c, n)};
                         return cascade1(input, t_, length_, sec, best, e);
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
    return runSearch(count, best_, threads_, control_, perF,
                     [&](int64_t first, int n, const std::atomic<double>& best, vd& e) {
                         Biquad c[W];
                         gridCandidates(c, first, n, perF, qg, dg, ks, gs, highShelfK);
                         const LaneBiquad s = lanes(c, n);
                         if (after) {
                             const LaneBiquad sec[3] = {s, s, fixed};
                             return cascade3(hp_.data(), t_, length_, sec, best, e);
                         }
                         const LaneBiquad sec[2] = {s, s};
                         return cascade2(hp_.data(), t_, length_, sec, best, e);
                     });
}

Outcome Fitter::searchPeak(const double* input, const Grid& fg, const Grid& qg, const Grid& dg,
                           int64_t perStep, double startBest) {
    const std::vector<double> ks = table(fg, warp);
    const std::vector<double> gs = table(dg, gainOf);
    const int64_t perF = static_cast<int64_t>(qg.count) * dg.count;
    const int64_t count = perF * fg.count;
    return runSearch(count, startBest, threads_, control_, perStep,
                     [&](int64_t first, int n, const std::atomic<double>& best, vd& e) {
                         Biquad c[W];
                         gridCandidates(c, first, n, perF, qg, dg, ks, gs, peakingK);
                         const LaneBiquad sec[1] = {lanes(c, n)};
                         return cascade1(input, t_, length_, sec, best, e);
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
bool Fitter::resonators() {
    const int nF = grid::resF.count;
    const int nT = grid::resMs.count;
    const int64_t pairs = static_cast<int64_t>(nF) * nT;
    const int nCoarse = grid::resCoarseD.count;
    constexpr int nFine = 2 * grid::resFineSpan + 1;
    const int dLow = static_cast<int>(grid::resCoarseD[0]) - grid::resFineSpan;
    const int dHigh = static_cast<int>(grid::resCoarseD[nCoarse - 1]) + grid::resFineSpan;
    std::vector<double> gainByD(static_cast<size_t>(dHigh - dLow + 1));
    for (int d = dLow; d <= dHigh; ++d)
        gainByD[static_cast<size_t>(d - dLow)] = gainOf(static_cast<double>(d));
    std::vector<double> coarseGain = table(grid::resCoarseD, gainOf);
    std::vector<double> du(static_cast<size_t>(length_)), r(static_cast<size_t>(length_));
    std::vector<double> zExact(static_cast<size_t>(length_));
    std::vector<Resonance> reso(static_cast<size_t>(pairs));
    std::vector<double> sumZ2(static_cast<size_t>(pairs), 0.0);
    for (int fi = 0; fi < nF; ++fi)
        for (int ti = 0; ti < nT; ++ti)
            reso[static_cast<size_t>(fi * nT + ti)] =
                resonance(resOmega(grid::resF[fi]), resTau(grid::resMs[ti]));
    for (int64_t n = 0; n < length_; ++n) model_[n] = base_[n];

    for (int i = 0; i < 4; ++i) {
        control_.setStage(static_cast<uint32_t>(11 + i));
        const double e1 = best_;
        double a = 0.0, t2 = 0.0, m2 = 0.0;
        for (int64_t n = 0; n < length_; ++n) {
            du[n] = base_[n] - (n > 0 ? base_[n - 1] : 0.0);
            r[n] = t_[n] - model_[n];
            a += r[n] * r[n];
            t2 += t_[n] * t_[n];
            m2 += model_[n] * model_[n];
        }
        // Both the estimate and the term-by-term sum round; over at most 32768 terms their
        // errors stay below 4e-12 of the magnitudes summed, so 1e-10 of them is a safe bound.
        const double scale = t2 + m2 + a;
        auto margin = [&](double w, double c) {
            return 1e-10 * (scale + 2.0 * std::fabs(w) * std::sqrt(a * c) + w * w * c);
        };
        // Per mode and pair: the coarse choice and the fine candidates' bounds.
        std::vector<double> lo(static_cast<size_t>(2 * pairs * nFine));
        std::vector<double> hi(static_cast<size_t>(2 * pairs * nFine));
        std::vector<int> coarse(static_cast<size_t>(2 * pairs));
        std::atomic<int64_t> next{0}, done{0};

        auto exactCoarse = [&](int64_t pair, int mode, std::vector<double>& z) {
            basis(reso[static_cast<size_t>(pair)], z.data());
            double cbest = 1000.0;
            int cd = 0;
            for (int j = 0; j < nCoarse; ++j) {
                const double w = mode == 1 ? coarseGain[j] : -coarseGain[j];
                const double e = exactResonatorError(z.data(), w, cbest);
                if (e <= cbest) {
                    cbest = e;
                    cd = j;
                }
            }
            return cd;
        };

        auto worker = [&] {
            std::vector<double> z(static_cast<size_t>(length_));
            for (;;) {
                if (cancelled()) return;
                const int64_t first = next.fetch_add(kResonatorLanes, std::memory_order_relaxed);
                if (first >= pairs) return;
                const int nl = static_cast<int>(std::min<int64_t>(kResonatorLanes, pairs - first));
                vd sv[kGroups], x1[kGroups], r2[kGroups];
                for (int l = 0; l < kResonatorLanes; ++l) {
                    const Resonance& rs = reso[static_cast<size_t>(first + (l < nl ? l : 0))];
                    sv[l / W][l % W] = rs.sv;
                    x1[l / W][l % W] = rs.x1;
                    r2[l / W][l % W] = rs.r2;
                }
                vd bv[kGroups], cv[kGroups];
                if (i == 0)
                    resonatorSumsBC(du.data(), r.data(), length_, sv, x1, r2, bv, cv);
                else
                    resonatorSumsB(du.data(), r.data(), length_, sv, x1, r2, bv);
                double b[kResonatorLanes], c[kResonatorLanes];
                for (int l = 0; l < nl; ++l) {
                    b[l] = bv[l / W][l % W];
                    if (i == 0) sumZ2[static_cast<size_t>(first + l)] = cv[l / W][l % W];
                    c[l] = sumZ2[static_cast<size_t>(first + l)];
                }
                for (int l = 0; l < nl; ++l) {
                    const int64_t pair = first + l;
                    for (int mode = 1; mode <= 2; ++mode) {
                        const double sign = mode == 1 ? 1.0 : -1.0;
                        double est[16], mg[16];
                        double least = 1000.0;
                        for (int j = 0; j < nCoarse; ++j) {
                            const double w = sign * coarseGain[j];
                            est[j] = a - 2.0 * w * b[l] + w * w * c[l];
                            mg[j] = margin(w, c[l]);
                            least = std::min(least, est[j] + mg[j]);
                        }
                        int contenders = 0, only = 0;
                        for (int j = 0; j < nCoarse; ++j)
                            if (est[j] - mg[j] <= least) {
                                ++contenders;
                                only = j;
                            }
                        int cd;
                        if (contenders == 0)
                            cd = 0;  // nothing below 1000: the first gain stands
                        else if (contenders == 1 && est[only] + mg[only] <= 1000.0)
                            cd = only;
                        else
                            cd = exactCoarse(pair, mode, z);
                        const size_t slot = static_cast<size_t>((mode - 1) * pairs + pair);
                        coarse[slot] = cd;
                        const int dCentre = static_cast<int>(grid::resCoarseD[cd]);
                        for (int j = 0; j < nFine; ++j) {
                            const int d = dCentre - grid::resFineSpan + j;
                            const double w = sign * gainByD[static_cast<size_t>(d - dLow)];
                            const double ea = a - 2.0 * w * b[l] + w * w * c[l];
                            const double m = margin(w, c[l]);
                            lo[slot * nFine + static_cast<size_t>(j)] = ea - m;
                            hi[slot * nFine + static_cast<size_t>(j)] = ea + m;
                        }
                    }
                }
                const int64_t old = done.fetch_add(nl, std::memory_order_relaxed);
                const int64_t steps = 2 * ((old + nl) / nT - old / nT);
                if (steps > 0) control_.step(static_cast<uint32_t>(steps));
            }
        };
        {
            std::vector<std::thread> pool;
            for (int k = 1; k < threads_; ++k) pool.emplace_back(worker);
            worker();
            for (auto& th : pool) th.join();
        }
        if (cancelled()) return false;

        // Exact scoring of every candidate that could still be the least, in grid order.
        double bound = e1;
        for (double h : hi) bound = std::min(bound, h);
        double best = e1;
        int64_t winner = -1;
        int64_t cached = -1;
        for (int mode = 1; mode <= 2; ++mode) {
            for (int64_t pair = 0; pair < pairs; ++pair) {
                const size_t slot = static_cast<size_t>((mode - 1) * pairs + pair);
                for (int j = 0; j < nFine; ++j) {
                    if (!(lo[slot * nFine + static_cast<size_t>(j)] <= bound)) continue;
                    if (cached != pair) {
                        basis(reso[static_cast<size_t>(pair)], zExact.data());
                        cached = pair;
                    }
                    const int d =
                        static_cast<int>(grid::resCoarseD[coarse[slot]]) - grid::resFineSpan + j;
                    const double g = gainByD[static_cast<size_t>(d - dLow)];
                    const double e = exactResonatorError(zExact.data(), mode == 1 ? g : -g, best);
                    if (e <= best) {
                        best = e;
                        winner = static_cast<int64_t>(slot) * nFine + j;
                    }
                }
            }
        }
        if (winner >= 0) {
            const int64_t slot = winner / nFine;
            const int j = static_cast<int>(winner % nFine);
            const int mode = slot >= pairs ? 2 : 1;
            const int64_t pair = slot % pairs;
            p_.resMode[i] = mode;
            p_.resF[i] = grid::resF[static_cast<int>(pair / nT)];
            p_.resMs[i] = grid::resMs[static_cast<int>(pair % nT)];
            p_.resD[i] = grid::resCoarseD[coarse[static_cast<size_t>(slot)]] -
                         static_cast<double>(grid::resFineSpan) + static_cast<double>(j);
            best_ = best;
        } else {
            p_.resMode[i] = 0;
        }
        note();
        if (p_.resMode[i] != 0) {
            basis(resonance(resOmega(p_.resF[i]), resTau(p_.resMs[i])), zExact.data());
            const double w = resGain(p_.resMode[i], p_.resD[i]);
            for (int64_t n = 0; n < length_; ++n) model_[n] = model_[n] + w * zExact[n];
        }
        if (cancelled()) return false;
    }
    return true;
}

bool Fitter::run(bool boost, FitResult& out) {
    // High-pass alone.
    control_.setStage(4);
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
    control_.setStage(5);
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
        control_.setStage(8);
        {
            const Outcome o = searchShelf(grid::hsDBoost, nullptr);
            if (cancelled()) return false;
            if (o.kept)
                shelfParams(o, grid::hsDBoost);
            else
                p_.hsOn = false;
            note();
        }
        control_.setStage(9);
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
        control_.setStage(10);
    } else {
        control_.setStage(5);
        if (!jointSearch()) return false;
        note();
        control_.setStage(6);
        {
            const Biquad pk = pkSection(p_);
            const Outcome o = searchShelf(grid::hsD, &pk);
            if (cancelled()) return false;
            if (o.kept) shelfParams(o, grid::hsD);
            note();
        }
        control_.setStage(7);
        shelfChain();
        {
            const int64_t perF = static_cast<int64_t>(grid::pkQ.count) * grid::pkD.count;
            const Outcome o = searchPeak(hs_.data(), grid::pkF, grid::pkQ, grid::pkD, perF, best_);
            if (cancelled()) return false;
            if (o.kept) peakParams(o, grid::pkD);
            note();
        }
        control_.setStage(8);
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
    control_.setStage(11);
    if (!resonators()) return false;

    out.params = p_;
    out.bestError = best_;
    out.trace = trace_;
    computeSparseTaps(std::vector<double>(t_, t_ + length_), out);
    control_.setStage(15);
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

void computeSparseTaps(const std::vector<double>& target, FitResult& out) {
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
    for (int c = 0; c < count; c += 3) {
        double sum = 0.0;
        const double* k = &kernel[static_cast<size_t>(count - 1 - c)];
        for (int64_t m = 0; m < length; ++m) sum += y[m] * k[m];
        values[static_cast<size_t>(c)] = sum;
    }
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
