#include "ir/ReferenceIr.h"

#include <algorithm>
#include <cmath>

#include "ir/CFFT.h"

namespace lumetta::ir::reference {

namespace {

std::vector<double> runSection(const Biquad& s, const std::vector<double>& x) {
    const size_t n = x.size();
    std::vector<double> y(n);
    for (size_t i = 0; i < n; ++i) {
        const double x1 = i >= 1 ? x[i - 1] : 0.0;
        const double x2 = i >= 2 ? x[i - 2] : 0.0;
        const double y1 = i >= 1 ? y[i - 1] : 0.0;
        const double y2 = i >= 2 ? y[i - 2] : 0.0;
        y[i] = s.b0 * x[i] + s.b1 * x1 + s.b2 * x2 + s.c1 * y1 + s.c2 * y2;
    }
    return y;
}

double error(const std::vector<double>& t, const std::vector<double>& m) {
    double e = 0.0;
    for (size_t n = 0; n < t.size(); ++n) {
        const double d = t[n] - m[n];
        e += d * d;
    }
    return e;
}

double sinc(double u) {
    return u == 0.0 ? 1.0 : std::sin(u) / u;
}

int orderFor(int64_t n) {
    int o = 0;
    while ((int64_t{1} << o) < n) ++o;
    return o;
}

double logMag(double re, double im) {
    const double m2 = re * re + im * im;
    return m2 > 0.0 ? std::log(std::sqrt(m2)) : -110.0;
}

// Items c to e on a packed spectrum of N = 2^order values.
void toMinimumPhase(std::vector<double>& x, int order, bool fixedDc) {
    const int64_t n = int64_t{1} << order;
    const int64_t half = n / 2;
    std::vector<double> lm(static_cast<size_t>(n));
    if (fixedDc)
        lm[0] = -110.0;
    else
        lm[0] = x[0] != 0.0 ? std::log(std::fabs(x[0])) : -110.0;
    lm[1] = logMag(x[1], 0.0);
    for (int64_t k = 1; k < half; ++k) {
        lm[2 * k] = logMag(x[2 * k], x[2 * k + 1]);
        lm[2 * k + 1] = 0.0;
    }
    CFFT inv(10);
    inv.configure(order, CFFT::Inverse, true);
    inv.realTransform(lm.data());
    // The folded cepstrum and its transform: a real sequence, so the real transform's bins are
    // the complex transform's; real part log magnitude, imaginary part phase.
    std::vector<double> c(static_cast<size_t>(n));
    c[0] = lm[0];
    c[half] = lm[half];
    for (int64_t k = 1; k < half; ++k) c[k] = 2.0 * lm[k];
    for (int64_t k = half + 1; k < n; ++k) c[k] = 0.0;
    CFFT fwd(10);
    fwd.configure(order, CFFT::Forward, true);
    fwd.realTransform(c.data());
    x[0] = std::exp(c[0]) * std::cos(0.0);
    x[1] = std::exp(c[1]) * std::cos(0.0);
    for (int64_t k = 1; k < half; ++k) {
        x[2 * k] = std::exp(c[2 * k]) * std::cos(c[2 * k + 1]);
        x[2 * k + 1] = std::exp(c[2 * k]) * std::sin(c[2 * k + 1]);
    }
}

std::vector<double> target(const std::vector<double>& ir, bool& boost) {
    const int64_t length = static_cast<int64_t>(ir.size());
    const int order = orderFor(35 * length);
    const int64_t n = int64_t{1} << order;
    const int64_t half = n / 2;
    std::vector<double> x(static_cast<size_t>(n), 0.0);
    for (int64_t i = 0; i < length; ++i) x[i] = ir[i];
    CFFT fwd(10);
    fwd.configure(order, CFFT::Forward, true);
    fwd.realTransform(x.data());
    const double df = 48000.0 / static_cast<double>(n);
    const int64_t k30 = static_cast<int64_t>(std::ceil(30.0 / df));
    if (k30 < half) {
        for (int64_t k = 1; k < half; ++k) {
            if (static_cast<double>(k) * df < 30.0) {
                const double ratio = static_cast<double>(k) * df / 30.0;
                const double s = ratio * ratio;
                x[2 * k] = x[2 * k30] * s;
                x[2 * k + 1] = x[2 * k30 + 1] * s;
            }
        }
    }
    toMinimumPhase(x, order, true);
    const int64_t k1 = static_cast<int64_t>(0.004166666666666667 * static_cast<double>(n) + 0.5);
    const int64_t k2 = static_cast<int64_t>(0.00625 * static_cast<double>(n) + 0.5);
    double sum = 0.0;
    for (int64_t k = k1; k < k2; ++k)
        sum +=
            k == 0 ? std::fabs(x[0]) : std::sqrt(x[2 * k] * x[2 * k] + x[2 * k + 1] * x[2 * k + 1]);
    // A silent IR only has the -110 floor (e^-110 a bin) here; it stays silent, unscaled.
    if (sum > 1e-40 * static_cast<double>(k2 - k1) && std::isfinite(sum)) {
        const double scale = static_cast<double>(k2 - k1) / sum;
        for (int64_t i = 0; i < n; ++i) x[i] = x[i] * scale;
    }
    boost = false;
    const int64_t kb = static_cast<int64_t>(static_cast<double>(n) / 48.0 + 0.5);
    for (int64_t k = kb; k < half; ++k) {
        const double m =
            k == 0 ? std::fabs(x[0]) : std::sqrt(x[2 * k] * x[2 * k] + x[2 * k + 1] * x[2 * k + 1]);
        if (m > 1.5874010519681994) boost = true;
    }
    CFFT inv(10);
    inv.configure(order, CFFT::Inverse, true);
    inv.realTransform(x.data());
    return std::vector<double>(x.begin(), x.begin() + length);
}

}  // namespace

void minimumPhase(double* src, int64_t count) {
    const int order = orderFor(35 * count);
    const int64_t n = int64_t{1} << order;
    std::vector<double> x(static_cast<size_t>(n), 0.0);
    for (int64_t i = 0; i < count; ++i) x[i] = src[i];
    CFFT fwd(10);
    fwd.configure(order, CFFT::Forward, true);
    fwd.realTransform(x.data());
    toMinimumPhase(x, order, false);
    CFFT inv(10);
    inv.configure(order, CFFT::Inverse, true);
    inv.realTransform(x.data());
    for (int64_t i = 0; i < count; ++i) src[i] = x[i];
}

Prepared prepare(const double* samples, uint32_t channels, int sampleRate, int64_t frames) {
    Prepared out;
    int64_t count = frames;
    const int64_t m =
        static_cast<int64_t>(static_cast<double>(sampleRate) * 16384.0 / 48000.0 + 0.5);
    if (count > m)
        count = m;
    else if (count >= 32769)
        count = 32768;
    if (count > 32768) count = 32768;
    std::vector<double> source(32768, 0.0);
    if (samples == nullptr || count < 1) {
        count = 1;
    } else {
        for (int64_t i = 0; i < count; ++i) source[i] = samples[i * channels];
    }
    out.sampleCount = count;
    std::vector<double> ir48;
    if (sampleRate == 48000) {
        ir48.assign(source.begin(), source.begin() + count);
    } else {
        minimumPhase(source.data(), count);
        int64_t lout = static_cast<int64_t>(
            static_cast<double>(count) * 48000.0 / static_cast<double>(sampleRate) + 0.5);
        if (lout > 32768) lout = 32768;
        if (lout < 1) lout = 1;
        ir48.assign(static_cast<size_t>(lout), 0.0);
        const double r = sampleRate;
        if (count <= lout) {
            const double ratio = r / 48000.0;
            for (int64_t k = 0; k < lout; ++k) {
                double s = 0.0;
                for (int64_t j = 0; j < count; ++j)
                    s += source[j] *
                         sinc(kPi * (static_cast<double>(j) - static_cast<double>(k) * ratio));
                ir48[k] = ratio * s;
            }
        } else {
            for (int64_t k = 0; k < lout; ++k) {
                double s = 0.0;
                for (int64_t j = 0; j < count; ++j)
                    s +=
                        source[j] *
                        sinc(kPi * (static_cast<double>(j) * 48000.0 / r - static_cast<double>(k)));
                ir48[k] = s;
            }
        }
    }
    out.target = target(ir48, out.boost);
    return out;
}

namespace {

// One search over a grid of up to three axes, points in order: the last point whose error
// reaches `best` is kept, and lowers `best`. A two-axis search passes `kNoAxis` third.
struct Pick {
    bool kept = false;
    double f = 0, q = 0, d = 0;
};
constexpr Grid kNoAxis{0.0, 0.0, 1};

template <class Response>
Pick search(const std::vector<double>& t, double& best, const Grid& fs, const Grid& qs,
            const Grid& ds, Response response) {
    Pick pick;
    for (int fi = 0; fi < fs.count; ++fi)
        for (int qi = 0; qi < qs.count; ++qi)
            for (int di = 0; di < ds.count; ++di) {
                const double e = error(t, response(fs[fi], qs[qi], ds[di]));
                if (e <= best) {
                    best = e;
                    pick = {true, fs[fi], qs[qi], ds[di]};
                }
            }
    return pick;
}

}  // namespace

FitResult fit(const std::vector<double>& t, bool boost) {
    const size_t length = t.size();
    FitResult out;
    FitParams p;
    double best = 1000.0;
    std::vector<double> delta(length, 0.0);
    delta[0] = 1.0;
    auto keepHighPass = [&](const Pick& k) {
        if (!k.kept) return;
        p.hpOn = true;
        p.hpF = k.f;
        p.hpQ = k.q;
    };
    auto keepShelf = [&](const Pick& k) {
        if (!k.kept) return;
        p.hsOn = true;
        p.hsF = k.f;
        p.hsQ = k.q;
        p.hsD = k.d;
    };
    auto keepPeak = [&](const Pick& k) {
        if (!k.kept) return;
        p.pkOn = true;
        p.pkF = k.f;
        p.pkQ = k.q;
        p.pkD = k.d;
    };

    // Stage 4: high-pass alone.
    keepHighPass(search(t, best, grid::hpF, grid::hpQ, kNoAxis, [&](double f, double q, double) {
        return runSection(highPass(f, q), delta);
    }));
    out.trace.searchBest.push_back(best);
    const std::vector<double> hp = runSection(hpSection(p), delta);
    if (boost) {
        const Pick hs = search(t, best, grid::hsF, grid::hsQ, grid::hsDBoost,
                               [&](double f, double q, double d) {
                                   const Biquad s = highShelf(f, q, gainOf(d));
                                   return runSection(s, runSection(s, hp));
                               });
        p.hsOn = false;
        keepShelf(hs);
        out.trace.searchBest.push_back(best);
        const std::vector<double> chain = runSection(hsSection(p), runSection(hsSection(p), hp));
        const Pick pk = search(t, best, grid::pkF, grid::pkQ, grid::pkDBoost,
                               [&](double f, double q, double d) {
                                   return runSection(peaking(f, q, gainOf(d)), chain);
                               });
        p.pkOn = false;
        keepPeak(pk);
        out.trace.searchBest.push_back(best);
    } else {
        bool kept = false;
        double v[5] = {0, 0, 0, 0, 0};
        const double g = gainOf(grid::jointHsD);
        for (int a = 0; a < grid::jointHsF.count; ++a)
            for (int b = 0; b < grid::jointQ.count; ++b)
                for (int c = 0; c < grid::jointPkF.count; ++c)
                    for (int d = 0; d < grid::jointQ.count; ++d)
                        for (int e5 = 0; e5 < grid::jointPkD.count; ++e5) {
                            const Biquad hs = highShelf(grid::jointHsF[a], grid::jointQ[b], g);
                            const Biquad pk = peaking(grid::jointPkF[c], grid::jointQ[d],
                                                      gainOf(grid::jointPkD[e5]));
                            const double e =
                                error(t, runSection(pk, runSection(hs, runSection(hs, hp))));
                            if (e <= best) {
                                best = e;
                                kept = true;
                                v[0] = grid::jointHsF[a];
                                v[1] = grid::jointQ[b];
                                v[2] = grid::jointPkF[c];
                                v[3] = grid::jointQ[d];
                                v[4] = grid::jointPkD[e5];
                            }
                        }
        p.hsOn = p.pkOn = kept;
        if (kept) {
            p.hsF = v[0];
            p.hsQ = v[1];
            p.hsD = grid::jointHsD;
            p.pkF = v[2];
            p.pkQ = v[3];
            p.pkD = v[4];
        }
        out.trace.searchBest.push_back(best);

        const Biquad pk = pkSection(p);
        keepShelf(
            search(t, best, grid::hsF, grid::hsQ, grid::hsD, [&](double f, double q, double d) {
                const Biquad s = highShelf(f, q, gainOf(d));
                return runSection(pk, runSection(s, runSection(s, hp)));
            }));
        out.trace.searchBest.push_back(best);

        const std::vector<double> chain = runSection(hsSection(p), runSection(hsSection(p), hp));
        keepPeak(
            search(t, best, grid::pkF, grid::pkQ, grid::pkD, [&](double f, double q, double d) {
                return runSection(peaking(f, q, gainOf(d)), chain);
            }));
        out.trace.searchBest.push_back(best);
    }

    const std::vector<double> chain =
        runSection(pkSection(p), runSection(hsSection(p), runSection(hsSection(p), delta)));
    keepHighPass(
        search(t, best, grid::refitF, grid::refitQ, kNoAxis,
               [&](double f, double q, double) { return runSection(highPass(f, q), chain); }));
    out.trace.searchBest.push_back(best);
    const std::vector<double> base = runSection(hpSection(p), chain);
    std::vector<double> model = base;

    auto basis = [&](const Resonance& r) {
        std::vector<double> z(length);
        for (size_t n = 0; n < length; ++n) {
            const double u1 = n >= 1 ? base[n - 1] : 0.0;
            const double z1 = n >= 1 ? z[n - 1] : 0.0;
            const double z2 = n >= 2 ? z[n - 2] : 0.0;
            z[n] = r.sv * (base[n] - u1) + r.x1 * z1 - r.r2 * z2;
        }
        return z;
    };
    auto score = [&](const std::vector<double>& z, double w) {
        double e = 0.0;
        for (size_t n = 0; n < length; ++n) {
            const double d = t[n] - (model[n] + w * z[n]);
            e += d * d;
        }
        return e;
    };
    for (int i = 0; i < 4; ++i) {
        bool kept = false;
        int km = 0;
        double kf = 0, kms = 0, kd = 0;
        for (int mode = 1; mode <= 2; ++mode)
            for (int fi = 0; fi < grid::resF.count; ++fi)
                for (int ti = 0; ti < grid::resMs.count; ++ti) {
                    const double f = grid::resF[fi];
                    const double ms = grid::resMs[ti];
                    const std::vector<double> z = basis(resonance(resOmega(f), resTau(ms)));
                    double cbest = 1000.0;
                    double cd = grid::resCoarseD[0];
                    for (int j = 0; j < grid::resCoarseD.count; ++j) {
                        const double d = grid::resCoarseD[j];
                        const double e = score(z, resGain(mode, d));
                        if (e <= cbest) {
                            cbest = e;
                            cd = d;
                        }
                    }
                    for (double d = cd - 4.0; d <= cd + 4.0; d += 1.0) {
                        const double e = score(z, resGain(mode, d));
                        if (e <= best) {
                            best = e;
                            kept = true;
                            km = mode;
                            kf = f;
                            kms = ms;
                            kd = d;
                        }
                    }
                }
        if (kept) {
            p.resMode[i] = km;
            p.resF[i] = kf;
            p.resMs[i] = kms;
            p.resD[i] = kd;
        } else {
            p.resMode[i] = 0;
        }
        out.trace.searchBest.push_back(best);
        if (p.resMode[i] != 0) {
            const std::vector<double> z = basis(resonance(resOmega(p.resF[i]), resTau(p.resMs[i])));
            const double w = resGain(p.resMode[i], p.resD[i]);
            for (size_t n = 0; n < length; ++n) model[n] = model[n] + w * z[n];
        }
    }
    out.params = p;
    out.bestError = best;

    // Sparse taps.
    computeCoefficients(out);
    const int count = static_cast<int>(std::min<size_t>(length, 499));
    out.sparseCount = count;
    std::vector<double> y = t;
    const int order[4] = {0, 1, 3, 2};
    for (int s : order) {
        const double b0 = out.sections[5 * s], b1 = out.sections[5 * s + 1],
                     b2 = out.sections[5 * s + 2], c1 = out.sections[5 * s + 3],
                     c2 = out.sections[5 * s + 4];
        if (b0 == 0.0) continue;
        std::vector<double> x(length);
        for (size_t n = 0; n < length; ++n) {
            const double x1 = n >= 1 ? x[n - 1] : 0.0;
            const double x2 = n >= 2 ? x[n - 2] : 0.0;
            const double y1 = n >= 1 ? y[n - 1] : 0.0;
            const double y2 = n >= 2 ? y[n - 2] : 0.0;
            x[n] = (y[n] - b1 * x1 - b2 * x2 - c1 * y1 - c2 * y2) / b0;
        }
        y = x;
    }
    for (int i = 0; i < 4; ++i) {
        if (p.resMode[i] == 0) continue;
        const Resonance r = resonance(resOmega(p.resF[i]), resTau(p.resMs[i]));
        std::vector<double> z(length);
        for (size_t n = 0; n < length; ++n) {
            if (n == 0)
                z[n] = r.sv;
            else if (n == 1)
                z[n] = r.sv * (r.x1 - 1.0);
            else
                z[n] = r.x1 * z[n - 1] - r.r2 * z[n - 2];
            y[n] = y[n] - out.resonators[16 + i] * z[n];
        }
    }
    std::vector<double> values(static_cast<size_t>(count), 0.0);
    for (int c = 0; c < count; ++c) {
        if (c % 3 != 0) continue;
        double s = 0.0;
        for (size_t m = 0; m < length; ++m)
            s += y[m] * sinc(kPi * static_cast<double>(static_cast<int64_t>(m) - c) / 3.0);
        values[static_cast<size_t>(c)] = s;
    }
    double th = 0.5;
    for (int round = 0; round < 100000; ++round) {
        int above = 0;
        for (double v : values)
            if (std::fabs(v) > th) ++above;
        if (above == 32) break;
        const double next = above > 32 ? 1.5 * th : 0.5 * th;
        const bool stop = next == th || next < 1e-15;
        th = next;
        if (stop) break;
    }
    for (int c = 0; c < count; ++c)
        if (!(std::fabs(values[static_cast<size_t>(c)]) > th)) values[static_cast<size_t>(c)] = 0.0;
    // At most 32 taps: the largest magnitudes, the earlier index first among equals.
    for (;;) {
        int alive = 0;
        for (double v : values)
            if (v != 0.0) ++alive;
        if (alive <= 32) break;
        int smallest = -1;
        for (int c = 0; c < count; ++c) {
            const double v = std::fabs(values[static_cast<size_t>(c)]);
            if (v == 0.0) continue;
            if (smallest < 0 || v <= std::fabs(values[static_cast<size_t>(smallest)])) smallest = c;
        }
        values[static_cast<size_t>(smallest)] = 0.0;
    }
    std::fill(out.sparse.begin(), out.sparse.end(), 0.0);
    for (int c = 0; c < count; ++c)
        out.sparse[static_cast<size_t>(c)] = values[static_cast<size_t>(c)];
    out.completed = true;
    return out;
}

double biquadError(const std::vector<double>& t, const std::vector<double>& response) {
    return error(t, response);
}

}  // namespace lumetta::ir::reference
