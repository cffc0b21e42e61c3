#pragma once

// Test material: RIFF/WAVE files built byte by byte, and impulse responses made from known
// filters at any sample rate.

#include <cstdint>
#include <string>
#include <vector>

#include "ir/IrModel.h"

namespace lumetta::ir::test {

struct Chunk {
    std::string id;  ///< four characters
    std::vector<uint8_t> data;
};

/// "RIFF" size "WAVE" and the chunks, each padded to an even length. `riffSize` overrides the
/// size field when not 0.
std::vector<uint8_t> riffFile(const std::vector<Chunk>& chunks, uint32_t riffSize = 0);

/// A "fmt " chunk: 16 bytes, or 40 for the extensible format with `subFormat`.
Chunk fmtChunk(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits,
               uint16_t blockAlign = 0, uint16_t subFormat = 0);

/// Sample bytes: integers of `bits` (8 unsigned, else signed little-endian) from values in
/// [-1, 1), or IEEE floats of 32 or 64 bits when `isFloat`.
std::vector<uint8_t> sampleBytes(const std::vector<double>& values, uint16_t bits, bool isFloat);

/// An "acid" chunk with the given beats, meter and tempo.
Chunk acidChunk(uint32_t beats, uint16_t denominator, uint16_t numerator, float tempo);

/// A whole WAV file of interleaved `values`.
std::vector<uint8_t> wavFile(const std::vector<double>& values, uint16_t channels, uint32_t rate,
                             uint16_t bits, bool isFloat, bool extensible = false);

/// Writes bytes to a fresh file under the test's temporary directory; returns its path.
std::string writeTemp(const std::string& name, const std::vector<uint8_t>& bytes);
/// A directory for this test run's files (created on demand).
std::string tempDir();

/// A model with its three sections on: high-pass, peaking and high shelf (gains in dB).
FitParams threeSections(double hpF, double hpQ, double pkF, double pkQ, double pkD, double hsF,
                        double hsQ, double hsD);

/// The response of the model `p` to a unit impulse at `rate`, `length` samples: the sections
/// in model order, then the resonators on top, with every frequency warped for `rate`.
std::vector<double> modelImpulse(const FitParams& p, double rate, int64_t length);

/// Samples scaled and rounded for a PCM file of `bits` (kept in [-1, 1)).
std::vector<double> quantise(const std::vector<double>& values, int bits);

/// How the chunks of a real cabinet file are laid out around its samples.
enum class IrLayout {
    plain,                 ///< "fmt ", "data"
    listAfterData,         ///< "fmt ", "data", an odd-sized "LIST" (editor notes at the end)
    listAndPadBeforeData,  ///< "fmt ", an odd-sized "LIST", a large "PAD ", "data"
    factAndPeak,           ///< "fmt ", "fact", "PEAK", "data" (as float files come)
    oddDataLongRiff,       ///< odd-sized "data" and a RIFF size that reaches past the file's end
};

/// One kind of cabinet file met in practice: its format, length and layout.
struct IrShape {
    const char* name;
    uint16_t tag;  ///< 1 integer PCM, 3 IEEE float
    uint16_t channels;
    uint32_t rate;
    uint16_t bits;
    int64_t frames;
    IrLayout layout;
};

/// The kinds of cabinet file the converter must read: 16/24/32-bit integer and 32-bit float,
/// mono and stereo, 44.1 and 48 kHz, extra and odd chunks, a RIFF size larger than the file,
/// and lengths beyond what the analysis uses (16,384 frames).
const std::vector<IrShape>& irShapes();

/// A cabinet-like response for `shape`: model sections, two resonances and some cone break-up
/// no model describes; interleaved, the right channel a quieter copy; peak 0.7.
std::vector<double> cabinetSamples(const IrShape& shape);

/// The file of `shape` holding the interleaved `values`.
std::vector<uint8_t> shapedWavFile(const IrShape& shape, const std::vector<double>& values);

}  // namespace lumetta::ir::test
