#include "ir/IrPrepare.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>

#include "ir/CFFT.h"
#include "ir/IrClones.h"
#include "ir/IrModel.h"
#include "ir/IrThreads.h"

namespace lumetta::ir {

namespace {

int orderOf(int64_t n) {
    int order = 0;
    while ((int64_t{1} << order) < n) ++order;
    return order;
}

void count(IrControl* control) {
    if (control) control->step();
}

bool stopped(const IrControl* control) {
    return control && control->cancelled();
}

double logMagnitude(double re, double im) {
    const double m2 = re * re + im * im;
    return m2 > 0.0 ? std::log(std::sqrt(m2)) : -110.0;
}

// Runs f(from, to) over the bins [1, half) in `threads` contiguous parts. Each bin's value
// depends on that bin alone, so the parts give the same numbers as one loop.
template <class F>
void forBins(int threads, int64_t half, F f) {
    const int64_t count = half - 1;
    if (threads <= 1 || count < 65536) {
        f(int64_t{1}, half);
        return;
    }
    const int64_t part = (count + threads - 1) / threads;
    runWorkers(threads, [&](int t) {
        const int64_t from = 1 + part * t;
        if (from < half) f(from, std::min(half, from + part));
    });
}

// Items c to h shared by both uses: from the packed spectrum of a real sequence to the packed
// minimum-phase spectrum, with the value to give bin 0's log magnitude. `fft` is the caller's
// transform object: its tables and buffers serve every transform of the same size, and fresh
// ones would cost a page fault every few kilobytes.
bool minimumPhaseSpectrum(double* data, int order, bool fixedDc, IrControl* control, int threads,
                          CFFT& fft) {
    const int64_t n = int64_t{1} << order;
    const int64_t half = n / 2;
    data[0] = fixedDc ? -110.0 : (data[0] != 0.0 ? std::log(std::fabs(data[0])) : -110.0);
    data[1] = logMagnitude(data[1], 0.0);
    forBins(threads, half, [&](int64_t from, int64_t to) {
        for (int64_t k = from; k < to; ++k) {
            data[2 * k] = logMagnitude(data[2 * k], data[2 * k + 1]);
            data[2 * k + 1] = 0.0;
        }
    });
    if (stopped(control)) return false;
    fft.configure(order, CFFT::Inverse, true);
    // The fold keeps the cepstrum up to index half only.
    fft.realInverseHead(data, static_cast<uint64_t>(half + 1));
    count(control);
    if (stopped(control)) return false;
    // Fold the cepstrum onto its causal half. Its transform is that of a real sequence, so the
    // real transform gives every bin: log magnitude in the real part, phase in the imaginary.
    forBins(threads, half, [&](int64_t from, int64_t to) {
        for (int64_t k = from; k < to; ++k) {
            data[k] = 2.0 * data[k];
            data[half + k] = 0.0;
        }
    });
    count(control);
    fft.configure(order, CFFT::Forward, true);
    fft.realTransform(data);
    count(control);
    if (stopped(control)) return false;
    const double m0 = data[0], p0 = 0.0;
    const double mHalf = data[1], pHalf = 0.0;
    forBins(threads, half, [&](int64_t from, int64_t to) {
        for (int64_t k = from; k < to; ++k) {
            const double e = std::exp(data[2 * k]);
            const double ph = data[2 * k + 1];
            data[2 * k] = e * std::cos(ph);
            data[2 * k + 1] = e * std::sin(ph);
        }
    });
    data[0] = std::exp(m0) * std::cos(p0);
    data[1] = std::exp(mHalf) * std::cos(pHalf);
    return !stopped(control);
}

}  // namespace

int64_t usableFrames(int sampleRate, int64_t frames) {
    if (frames <= 0 || sampleRate <= 0) return 0;
    const int64_t m =
        static_cast<int64_t>(static_cast<double>(sampleRate) * 16384.0 / 48000.0 + 0.5);
    int64_t n = frames;
    if (n > m)
        n = m;
    else if (n >= kMaxLength + 1)
        n = kMaxLength;
    // A rate above 96 kHz makes the truncation length exceed the work buffers.
    return std::min<int64_t>(n, kMaxLength);
}

namespace {

// The transform object and work array of a preparation: its minimum-phase step and its target
// step use the same transform size for most files, and reusing both spares tens of megabytes
// of fresh pages.
struct TransformWork {
    CFFT fft{10};
    CFFT::SizedArray buffer;

    // The array of `size` values holding x[0..n) and zeros after it. Fresh arrays are not
    // cleared first: the zeros are written on both threads, which also share the first touch
    // of the pages.
    double* load(const double* x, int64_t n, int64_t size, int threads) {
        double* data = buffer.ensure(static_cast<size_t>(size));
        std::copy(x, x + n, data);
        const int workers = std::max(1, threads);
        const int64_t part = (size - n + workers - 1) / workers;
        runWorkers(workers, [&](int t) {
            const int64_t from = n + part * t;
            if (from < size) std::fill(data + from, data + std::min(size, from + part), 0.0);
        });
        return data;
    }
};

bool minimumPhaseIn(double* x, int64_t n, IrControl* control, int threads, TransformWork& work) {
    if (n < 1) return true;
    const int order = orderOf(35 * n);
    const int64_t size = int64_t{1} << order;
    double* data = work.load(x, n, size, threads);
    CFFT& fft = work.fft;
    fft.setThreads(threads);
    fft.configure(order, CFFT::Forward, true);
    // Only magnitudes of this spectrum are used, and the input is zero after its first n values.
    fft.realForwardOfHead(data, static_cast<uint64_t>(n));
    count(control);
    if (stopped(control) || !minimumPhaseSpectrum(data, order, false, control, threads, fft))
        return false;
    fft.configure(order, CFFT::Inverse, true);
    fft.realInverseHead(data, static_cast<uint64_t>(n));
    count(control);
    std::copy(data, data + n, x);
    return !stopped(control);
}

}  // namespace

bool minimumPhase(double* x, int64_t n, IrControl* control, int threads) {
    TransformWork work;
    return minimumPhaseIn(x, n, control, threads, work);
}

void extendBelow30Hz(double* data, int64_t size) {
    // Below 30 Hz every bin follows the first bin at or above 30 Hz with 12 dB per octave.
    const int64_t half = size / 2;
    const double df = 48000.0 / static_cast<double>(size);
    const int64_t k30 = static_cast<int64_t>(std::ceil(30.0 / df));
    if (k30 >= half) return;
    for (int64_t k = 1; k < half; ++k) {
        if (static_cast<double>(k) * df < 30.0) {
            const double ratio = static_cast<double>(k) * df / 30.0;
            const double s = ratio * ratio;
            data[2 * k] = data[2 * k30] * s;
            data[2 * k + 1] = data[2 * k30 + 1] * s;
        }
    }
}

namespace {

bool buildTargetIn(const double* ir, int64_t length, PreparedTarget& out, IrControl* control,
                   int threads, TransformWork& work) {
    const int order = orderOf(35 * length);
    const int64_t size = int64_t{1} << order;
    const int64_t half = size / 2;
    double* data = work.load(ir, length, size, threads);
    CFFT& fft = work.fft;
    fft.setThreads(threads);
    fft.configure(order, CFFT::Forward, true);
    // Only magnitudes of this spectrum are used (the bins below 30 Hz are scaled copies of one
    // bin, and bin 0 is fixed), and the input is zero after its first `length` values.
    fft.realForwardOfHead(data, static_cast<uint64_t>(length));
    count(control);
    if (stopped(control)) return false;
    extendBelow30Hz(data, size);
    if (!minimumPhaseSpectrum(data, order, true, control, threads, fft)) return false;
    // Mean magnitude between 200 and 300 Hz becomes 1.
    const int64_t k1 = static_cast<int64_t>(0.004166666666666667 * static_cast<double>(size) + 0.5);
    const int64_t k2 = static_cast<int64_t>(0.00625 * static_cast<double>(size) + 0.5);
    auto magnitude = [&](int64_t k) {
        if (k == 0) return std::fabs(data[0]);
        return std::sqrt(data[2 * k] * data[2 * k] + data[2 * k + 1] * data[2 * k + 1]);
    };
    double sum = 0.0;
    for (int64_t k = k1; k < k2; ++k) sum += magnitude(k);
    // A silent IR only has the -110 floor (e^-110 a bin) here; it stays silent, unscaled.
    if (sum > 1e-40 * static_cast<double>(k2 - k1) && std::isfinite(sum)) {
        const double scale = static_cast<double>(k2 - k1) / sum;
        forBins(threads, half, [&](int64_t from, int64_t to) {
            for (int64_t k = from; k < to; ++k) {
                data[2 * k] = data[2 * k] * scale;
                data[2 * k + 1] = data[2 * k + 1] * scale;
            }
        });
        data[0] = data[0] * scale;
        data[1] = data[1] * scale;
    }
    count(control);
    // Whether any bin from 1 kHz up is above +4 dB: each part of the range stops at its first
    // such bin, or once another part has found one.
    const int64_t kb = static_cast<int64_t>(static_cast<double>(size) / 48.0 + 0.5);
    std::atomic<bool> boost{false};
    forBins(threads, half, [&](int64_t from, int64_t to) {
        for (int64_t k = std::max(from, kb); k < to && !boost.load(std::memory_order_relaxed);
             ++k) {
            if (magnitude(k) > 1.5874010519681994) {
                boost.store(true, std::memory_order_relaxed);
                break;
            }
        }
    });
    out.boost = boost.load();
    fft.configure(order, CFFT::Inverse, true);
    fft.realInverseHead(data, static_cast<uint64_t>(length));
    count(control);
    out.target.assign(data, data + length);
    return !stopped(control);
}

}  // namespace

bool buildTarget(const double* ir, int64_t length, PreparedTarget& out, IrControl* control,
                 int threads) {
    TransformWork work;
    return buildTargetIn(ir, length, out, control, threads, work);
}

namespace {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
typedef double v4 __attribute__((vector_size(32)));
#pragma GCC diagnostic pop

int64_t gcd(int64_t a, int64_t b) {
    while (b != 0) {
        const int64_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

// S[k] = sum over j of c[j] / (48000 j - r k), leaving out the term whose denominator is 0.
// With g = gcd(48000, r), P = 48000 / g, Q = r / g, j = Q q + a and k = P s + b the
// denominator is g (P Q (q - s) + P a - Q b): for each pair of phases (a, b) the sum is a
// Toeplitz product whose kernel takes a handful of divisions, and the rest is multiply-adds.
// Rates without a small common grid fall back to one division a term.
LUMETTA_IR_CLONES void phaseBlock(const double* cq, int64_t nq, const double* kernel, int64_t ns,
                                  double* out) {
    // out[s] = sum_q cq[q] * kernel[s - q + nq - 1]. Thirty-two outputs at a time: each sum
    // waits on its previous addition, and eight independent ones keep both adders busy (then
    // sixteen, four and one for the rest). Every output is still summed alone, q = 0 upwards,
    // so the grouping does not change its rounding.
    int64_t s = 0;
    for (; s + 32 <= ns; s += 32) {
        v4 acc[8];
        for (v4& a : acc) a = v4{0.0, 0.0, 0.0, 0.0};
        const double* k0 = kernel + s + nq - 1;
        for (int64_t q = 0; q < nq; ++q) {
            const double c = cq[q];
            for (int i = 0; i < 8; ++i) {
                v4 kv;
                std::memcpy(&kv, k0 - q + 4 * i, sizeof kv);
                acc[i] += c * kv;
            }
        }
        for (int i = 0; i < 8; ++i) std::memcpy(out + s + 4 * i, &acc[i], sizeof acc[i]);
    }
    for (; s + 16 <= ns; s += 16) {
        v4 acc0 = {0.0, 0.0, 0.0, 0.0}, acc1 = acc0, acc2 = acc0, acc3 = acc0;
        const double* k0 = kernel + s + nq - 1;
        for (int64_t q = 0; q < nq; ++q) {
            v4 kv0, kv1, kv2, kv3;
            std::memcpy(&kv0, k0 - q, sizeof kv0);
            std::memcpy(&kv1, k0 - q + 4, sizeof kv1);
            std::memcpy(&kv2, k0 - q + 8, sizeof kv2);
            std::memcpy(&kv3, k0 - q + 12, sizeof kv3);
            acc0 += cq[q] * kv0;
            acc1 += cq[q] * kv1;
            acc2 += cq[q] * kv2;
            acc3 += cq[q] * kv3;
        }
        std::memcpy(out + s, &acc0, sizeof acc0);
        std::memcpy(out + s + 4, &acc1, sizeof acc1);
        std::memcpy(out + s + 8, &acc2, sizeof acc2);
        std::memcpy(out + s + 12, &acc3, sizeof acc3);
    }
    for (; s + 4 <= ns; s += 4) {
        v4 acc = {0.0, 0.0, 0.0, 0.0};
        const double* k0 = kernel + s + nq - 1;
        for (int64_t q = 0; q < nq; ++q) {
            v4 kv;
            std::memcpy(&kv, k0 - q, sizeof kv);
            acc += cq[q] * kv;
        }
        out[s] = acc[0];
        out[s + 1] = acc[1];
        out[s + 2] = acc[2];
        out[s + 3] = acc[3];
    }
    for (; s < ns; ++s) {
        double acc = 0.0;
        for (int64_t q = 0; q < nq; ++q) acc += cq[q] * kernel[s - q + nq - 1];
        out[s] = acc;
    }
}

// kernel[t] = 1 / (g (first - step t)) for t < count, 0 where that denominator is 0. The
// denominators are integers far below 2^53 (first - step t is below 2^26 in magnitude, g below
// 2^16), so doubles hold each of them and each product exactly: the quotients are those of
// the integer arithmetic, and the loop runs four lanes at a time.
LUMETTA_IR_CLONES void cauchyKernel(double* kernel, int64_t count, int64_t first, int64_t step,
                                    int64_t g) {
    typedef long long v4i __attribute__((vector_size(32)));
    const double f = static_cast<double>(first);
    const double s = static_cast<double>(step);
    const double gd = static_cast<double>(g);
    const v4 one = {1.0, 1.0, 1.0, 1.0};
    v4 td = {0.0, 1.0, 2.0, 3.0};
    int64_t t = 0;
    for (; t + 4 <= count; t += 4) {
        const v4 den = f - s * td;
        // Lanes whose denominator is 0 divide 1 instead and give 0.
        const v4i nonzero = den != 0.0;
        const v4 safe = reinterpret_cast<v4>((reinterpret_cast<v4i>(den) & nonzero) |
                                             (reinterpret_cast<v4i>(one) & ~nonzero));
        const v4 v = one / (gd * safe);
        const v4 out = reinterpret_cast<v4>(reinterpret_cast<v4i>(v) & nonzero);
        std::memcpy(kernel + t, &out, sizeof out);
        td += 4.0;
    }
    for (; t < count; ++t) {
        const double den = f - s * static_cast<double>(t);
        kernel[t] = den == 0.0 ? 0.0 : 1.0 / (gd * den);
    }
}

LUMETTA_IR_CLONES double directSum(const double* c, const double* dj, int64_t from, int64_t to,
                                   double drk) {
    v4 acc = {0.0, 0.0, 0.0, 0.0};
    double tail = 0.0;
    int64_t j = from;
    for (; j + 4 <= to; j += 4) {
        v4 num, den;
        std::memcpy(&num, c + j, sizeof num);
        std::memcpy(&den, dj + j, sizeof den);
        acc += num / (den - drk);
    }
    for (; j < to; ++j) tail += c[j] / (dj[j] - drk);
    return (acc[0] + acc[1]) + (acc[2] + acc[3]) + tail;
}

bool cauchySums(const double* c, int64_t n, int64_t r, int64_t lout, double* sums,
                IrControl& control, int threads) {
    const int64_t g = gcd(48000, r);
    const int64_t p = 48000 / g;
    const int64_t q = r / g;
    const int64_t stepsTotal = lout >= 2 ? (lout - 2) / 1000 + 1 : 0;
    std::atomic<int64_t> next{0}, done{0};
    std::atomic<int64_t> stepped{0};
    auto progress = [&](int64_t finished, int64_t of) {
        const int64_t want = stepsTotal * finished / of;
        int64_t have = stepped.load();
        while (have < want && !stepped.compare_exchange_weak(have, want)) {
        }
        if (have < want) control.step(static_cast<uint32_t>(want - have));
    };
    std::function<void()> worker;
    if (p <= 1024 && q <= 1024) {
        worker = [&] {
            std::vector<double> cq(static_cast<size_t>(n / q + 1)), kernel, out;
            for (;;) {
                const int64_t b = next.fetch_add(1);
                if (b >= p || control.cancelled()) return;
                const int64_t ns = b < lout ? (lout - 1 - b) / p + 1 : 0;
                out.assign(static_cast<size_t>(ns), 0.0);
                std::vector<double> total(static_cast<size_t>(ns), 0.0);
                for (int64_t a = 0; a < q && ns > 0; ++a) {
                    const int64_t nq = a < n ? (n - 1 - a) / q + 1 : 0;
                    if (nq == 0) continue;
                    for (int64_t i = 0; i < nq; ++i) cq[static_cast<size_t>(i)] = c[q * i + a];
                    // kernel[t] for t = s - q' + nq - 1, i.e. e = q' - s = nq - 1 - t.
                    kernel.resize(static_cast<size_t>(nq + ns - 1));
                    cauchyKernel(kernel.data(), nq + ns - 1, p * q * (nq - 1) + p * a - q * b,
                                 p * q, g);
                    phaseBlock(cq.data(), nq, kernel.data(), ns, out.data());
                    for (int64_t s2 = 0; s2 < ns; ++s2)
                        total[static_cast<size_t>(s2)] += out[static_cast<size_t>(s2)];
                }
                for (int64_t s2 = 0; s2 < ns; ++s2)
                    sums[p * s2 + b] = total[static_cast<size_t>(s2)];
                progress(done.fetch_add(1) + 1, p);
            }
        };
    } else {
        std::vector<double> dj(static_cast<size_t>(n));
        for (int64_t j = 0; j < n; ++j)
            dj[static_cast<size_t>(j)] = 48000.0 * static_cast<double>(j);
        worker = [&, dj] {
            for (;;) {
                const int64_t from = next.fetch_add(64);
                if (from >= lout || control.cancelled()) return;
                const int64_t to = std::min(lout, from + 64);
                for (int64_t k = from; k < to; ++k) {
                    const int64_t rk = r * k;
                    const int64_t j0 = rk % 48000 == 0 ? rk / 48000 : -1;
                    const double drk = static_cast<double>(rk);
                    if (j0 >= 0 && j0 < n)
                        sums[k] = directSum(c, dj.data(), 0, j0, drk) +
                                  directSum(c, dj.data(), j0 + 1, n, drk);
                    else
                        sums[k] = directSum(c, dj.data(), 0, n, drk);
                }
                progress(done.fetch_add(to - from) + (to - from), lout);
            }
        };
    }
    runWorkers(threads, [&](int) { worker(); });
    return !control.cancelled();
}

}  // namespace

// The sum of x[j] sinc(pi (j - k b)) is rewritten with sin(pi (j - k b)) = -(-1)^j sin(pi k b)
// (and the like when downsampling), so the sines leave the sum and what stays is a sum of
// values over exact integer distances 48000 j - r k.
bool resampleTo48k(const double* x, int64_t n, int sampleRate, double* y, int64_t lout,
                   IrControl& control, int threads) {
    const int64_t r = sampleRate;
    const bool up = n <= lout;
    std::vector<double> c(static_cast<size_t>(n));
    for (int64_t j = 0; j < n; ++j) {
        if (up) {
            c[static_cast<size_t>(j)] = (j & 1) ? x[j] : -x[j];
        } else {
            const double sj =
                std::sin(kPi * static_cast<double>((48000 * j) % (2 * r)) / static_cast<double>(r));
            c[static_cast<size_t>(j)] = x[j] * sj;
        }
    }
    std::vector<double> sums(static_cast<size_t>(lout), 0.0);
    if (!cauchySums(c.data(), n, r, lout, sums.data(), control, std::max(1, threads))) return false;
    const double ratio = static_cast<double>(r) / 48000.0;
    for (int64_t k = 0; k < lout; ++k) {
        const int64_t rk = r * k;
        const int64_t j0 = rk % 48000 == 0 ? rk / 48000 : -1;
        const double centre = (j0 >= 0 && j0 < n) ? x[j0] : 0.0;
        const double sum = sums[static_cast<size_t>(k)];
        if (up) {
            const double sk = std::sin(kPi * static_cast<double>(rk % 96000) / 48000.0);
            y[k] = ratio * (centre + sk * 48000.0 / kPi * sum);
        } else {
            const double sign = (k & 1) ? -1.0 : 1.0;
            y[k] = centre + sign * static_cast<double>(r) / kPi * sum;
        }
    }
    return true;
}

bool prepareTarget(const double* samples, uint32_t channels, int sampleRate, int64_t frames,
                   PreparedTarget& out, IrControl& control, int threads) {
    // The cancel flag is left alone: a request that came in before the run started still counts.
    control.reset();
    out = PreparedTarget{};
    std::vector<double> source(kMaxLength, 0.0);
    int64_t count = 0;
    if (samples != nullptr && frames > 0 && channels > 0 && sampleRate > 0) {
        count = usableFrames(sampleRate, frames);
        for (int64_t i = 0; i < count; ++i) source[i] = samples[i * channels];
    }
    if (count < 1) count = 1;  // no samples: one silent frame
    out.sampleCount = count;
    control.setStage(IrStage::Resample);
    TransformWork work;
    std::vector<double> ir48(kMaxLength, 0.0);
    int64_t length = count;
    if (sampleRate == 48000 || sampleRate <= 0) {
        std::copy(source.begin(), source.begin() + count, ir48.begin());
    } else {
        if (!minimumPhaseIn(source.data(), count, &control, threads, work)) return false;
        int64_t lout = static_cast<int64_t>(
            static_cast<double>(count) * 48000.0 / static_cast<double>(sampleRate) + 0.5);
        if (lout > kMaxLength) lout = kMaxLength;
        // A very short IR at a high rate would resample to nothing; keep one sample.
        if (lout < 1) lout = 1;
        if (!resampleTo48k(source.data(), count, sampleRate, ir48.data(), lout, control, threads))
            return false;
        length = lout;
    }
    out.resampledLength = length;
    if (control.cancelled()) return false;
    control.setStage(IrStage::Target);
    if (!buildTargetIn(ir48.data(), length, out, &control, threads, work)) return false;
    control.setStage(IrStage::Prepared);
    out.completed = true;
    return true;
}

}  // namespace lumetta::ir
