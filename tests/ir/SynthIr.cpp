#include "ir/SynthIr.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numbers>

namespace lumetta::ir::test {

namespace {
void put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

struct Section {
    double b0 = 1, b1 = 0, b2 = 0, c1 = 0, c2 = 0;
};

std::vector<double> run(const Section& s, const std::vector<double>& x) {
    std::vector<double> y(x.size());
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (size_t n = 0; n < x.size(); ++n) {
        y[n] = s.b0 * x[n] + s.b1 * x1 + s.b2 * x2 + s.c1 * y1 + s.c2 * y2;
        x2 = x1;
        x1 = x[n];
        y2 = y1;
        y1 = y[n];
    }
    return y;
}

Section fromBiquad(const Biquad& b) {
    return {b.b0, b.b1, b.b2, b.c1, b.c2};
}
}  // namespace

std::vector<uint8_t> riffFile(const std::vector<Chunk>& chunks, uint32_t riffSize) {
    std::vector<uint8_t> body = {'W', 'A', 'V', 'E'};
    for (const Chunk& c : chunks) {
        body.insert(body.end(), c.id.begin(), c.id.begin() + 4);
        put32(body, static_cast<uint32_t>(c.data.size()));
        body.insert(body.end(), c.data.begin(), c.data.end());
        if (c.data.size() & 1) body.push_back(0);
    }
    std::vector<uint8_t> out = {'R', 'I', 'F', 'F'};
    put32(out, riffSize ? riffSize : static_cast<uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Chunk fmtChunk(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, uint16_t blockAlign,
               uint16_t subFormat) {
    Chunk c{"fmt ", {}};
    const uint16_t align = blockAlign ? blockAlign : static_cast<uint16_t>(channels * bits / 8);
    put16(c.data, tag);
    put16(c.data, channels);
    put32(c.data, rate);
    put32(c.data, rate * align);
    put16(c.data, align);
    put16(c.data, bits);
    if (tag == 0xFFFE) {
        put16(c.data, 22);
        put16(c.data, bits);
        put32(c.data, channels == 2 ? 3 : 4);
        // KSDATAFORMAT_SUBTYPE GUID: the format tag, then the fixed tail.
        put16(c.data, subFormat);
        const uint8_t tail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                  0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        c.data.insert(c.data.end(), tail, tail + 14);
    }
    return c;
}

std::vector<uint8_t> sampleBytes(const std::vector<double>& values, uint16_t bits, bool isFloat) {
    std::vector<uint8_t> out;
    for (double v : values) {
        if (isFloat && bits == 32) {
            const float f = static_cast<float>(v);
            uint32_t u;
            std::memcpy(&u, &f, 4);
            put32(out, u);
        } else if (isFloat) {
            uint64_t u;
            std::memcpy(&u, &v, 8);
            put32(out, static_cast<uint32_t>(u));
            put32(out, static_cast<uint32_t>(u >> 32));
        } else {
            const double scale = std::ldexp(1.0, bits - 1);
            double q = std::floor(v * scale + 0.5);
            q = std::fmin(std::fmax(q, -scale), scale - 1);
            const int64_t s = static_cast<int64_t>(q);
            if (bits == 8) {
                out.push_back(static_cast<uint8_t>(s + 128));
            } else {
                for (int b = 0; b < bits / 8; ++b)
                    out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(s) >> (8 * b)));
            }
        }
    }
    return out;
}

Chunk acidChunk(uint32_t beats, uint16_t denominator, uint16_t numerator, float tempo) {
    Chunk c{"acid", {}};
    put32(c.data, 0);
    put16(c.data, 60);
    put16(c.data, 0x8000);
    put32(c.data, 0);
    put32(c.data, beats);
    put16(c.data, denominator);
    put16(c.data, numerator);
    uint32_t u;
    std::memcpy(&u, &tempo, 4);
    put32(c.data, u);
    return c;
}

std::vector<uint8_t> wavFile(const std::vector<double>& values, uint16_t channels, uint32_t rate,
                             uint16_t bits, bool isFloat, bool extensible) {
    const uint16_t tag = isFloat ? 3 : 1;
    Chunk fmt = extensible ? fmtChunk(0xFFFE, channels, rate, bits, 0, tag)
                           : fmtChunk(tag, channels, rate, bits);
    return riffFile({fmt, Chunk{"data", sampleBytes(values, bits, isFloat)}});
}

std::string tempDir() {
    static const std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string d = std::string(base && *base ? base : "/tmp") + "/lumetta-ir-test-" +
                        std::to_string(getpid());
        ::mkdir(d.c_str(), 0700);
        return d + "/";
    }();
    return dir;
}

std::string writeTemp(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = tempDir() + name;
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (f && !bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f.get());
    return path;
}

std::vector<double> modelImpulse(const FitParams& p, double rate, int64_t length) {
    auto warpAt = [&](double f) { return std::tan(std::numbers::pi * f / rate); };
    std::vector<double> x(static_cast<size_t>(length), 0.0);
    x[0] = 1.0;
    if (p.hsOn) {
        const Section s = fromBiquad(highShelfK(warpAt(p.hsF), p.hsQ, gainOf(p.hsD)));
        x = run(s, run(s, x));
    }
    if (p.pkOn) x = run(fromBiquad(peakingK(warpAt(p.pkF), p.pkQ, gainOf(p.pkD))), x);
    if (p.hpOn) x = run(fromBiquad(highPassK(warpAt(p.hpF), p.hpQ)), x);
    std::vector<double> out = x;
    for (int i = 0; i < 4; ++i) {
        if (p.resMode[i] == 0) continue;
        // The resonance at this rate: same decay in seconds, same frequency in Hz.
        const Resonance r = resonance(2.0 * std::numbers::pi * p.resF[i] * 48000.0 / rate,
                                      p.resMs[i] / 1000.0 * rate);
        const double w = resGain(p.resMode[i], p.resD[i]);
        double u1 = 0, z1 = 0, z2 = 0;
        for (size_t n = 0; n < x.size(); ++n) {
            const double z = r.sv * (x[n] - u1) + r.x1 * z1 - r.r2 * z2;
            u1 = x[n];
            z2 = z1;
            z1 = z;
            out[n] += w * z;
        }
    }
    return out;
}

std::vector<double> quantise(const std::vector<double>& values, int bits) {
    std::vector<double> out(values.size());
    const double scale = std::ldexp(1.0, bits - 1);
    for (size_t i = 0; i < values.size(); ++i) {
        double q = std::floor(values[i] * scale + 0.5);
        q = std::fmin(std::fmax(q, -scale), scale - 1);
        out[i] = q / scale;
    }
    return out;
}

const std::vector<IrShape>& irShapes() {
    static const std::vector<IrShape> shapes = {
        {"16-bit-mono-44k1-list-after-data", 1, 1, 44100, 16, 5063, IrLayout::listAfterData},
        {"24-bit-mono-44k1-list-pad-before-data", 1, 1, 44100, 24, 2382,
         IrLayout::listAndPadBeforeData},
        {"float-stereo-44k1-fact-peak", 3, 2, 44100, 32, 2048, IrLayout::factAndPeak},
        {"24-bit-mono-48k-long", 1, 1, 48000, 24, 39970, IrLayout::plain},
        {"float-mono-48k", 3, 1, 48000, 32, 9056, IrLayout::plain},
        {"24-bit-mono-44k1-odd-data-long-riff", 1, 1, 44100, 24, 8819, IrLayout::oddDataLongRiff},
        {"32-bit-stereo-48k", 1, 2, 48000, 32, 6000, IrLayout::plain},
        {"16-bit-stereo-44k1", 1, 2, 44100, 16, 4000, IrLayout::listAfterData},
    };
    return shapes;
}

FitParams threeSections(double hpF, double hpQ, double pkF, double pkQ, double pkD, double hsF,
                        double hsQ, double hsD) {
    FitParams p;
    p.hpOn = p.pkOn = p.hsOn = true;
    p.hpF = hpF;
    p.hpQ = hpQ;
    p.pkF = pkF;
    p.pkQ = pkQ;
    p.pkD = pkD;
    p.hsF = hsF;
    p.hsQ = hsQ;
    p.hsD = hsD;
    return p;
}

std::vector<double> cabinetSamples(const IrShape& shape) {
    FitParams p = threeSections(80, 1.1, 950, 1.1, -8, 4500, 0.9, -40);
    p.resMode = {1, 2, 0, 0};
    p.resF = {110, 245, 0, 0};
    p.resMs = {90, 35, 0, 0};
    p.resD = {-6, -13, 0, 0};
    const double rate = shape.rate;
    std::vector<double> h = modelImpulse(p, rate, shape.frames);
    for (size_t n = 0; n < h.size(); ++n) {
        const double t = static_cast<double>(n) / rate;
        h[n] += 0.05 * std::exp(-t * 170.0) * std::sin(2 * std::numbers::pi * 2650.0 * t) +
                0.03 * std::exp(-t * 95.0) * std::sin(2 * std::numbers::pi * 1580.0 * t + 0.4);
    }
    double peak = 0;
    for (double v : h) peak = std::fmax(peak, std::fabs(v));
    std::vector<double> out;
    out.reserve(h.size() * shape.channels);
    for (double v : h)
        for (uint16_t c = 0; c < shape.channels; ++c) out.push_back((c ? 0.6 : 0.7) * v / peak);
    return out;
}

std::vector<uint8_t> shapedWavFile(const IrShape& shape, const std::vector<double>& values) {
    const bool isFloat = shape.tag == 3;
    const Chunk fmt = fmtChunk(shape.tag, shape.channels, shape.rate, shape.bits);
    const Chunk data{"data", sampleBytes(values, shape.bits, isFloat)};
    const Chunk list{"LIST", {'I', 'N', 'F', 'O', 'I', 'C', 'M', 'T', 5, 0, 0, 0, 'n'}};
    switch (shape.layout) {
        case IrLayout::plain:
            return riffFile({fmt, data});
        case IrLayout::listAfterData:
            return riffFile({fmt, data, list});
        case IrLayout::listAndPadBeforeData:
            return riffFile({fmt, list, Chunk{"PAD ", std::vector<uint8_t>(12204, 0)}, data});
        case IrLayout::factAndPeak: {
            Chunk fact{"fact", {}};
            put32(fact.data, static_cast<uint32_t>(shape.frames));
            Chunk peak{"PEAK", std::vector<uint8_t>(8 + 8 * shape.channels, 0)};
            peak.data[0] = 1;  // version
            return riffFile({fmt, fact, peak, data});
        }
        case IrLayout::oddDataLongRiff: {
            std::vector<uint8_t> bytes = riffFile({fmt, data});
            const uint32_t claimed = static_cast<uint32_t>(bytes.size() - 8 + 60);
            std::vector<uint8_t> size;
            put32(size, claimed);
            std::copy(size.begin(), size.end(), bytes.begin() + 4);
            return bytes;
        }
    }
    return {};
}

}  // namespace lumetta::ir::test
