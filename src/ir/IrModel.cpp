#include "ir/IrModel.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace lumetta::ir {

void computeCoefficients(FitResult& result) {
    const FitParams& p = result.params;
    const Biquad s[4] = {hpSection(p), pkSection(p), hsSection(p), hsSection(p)};
    for (int i = 0; i < 4; ++i) {
        result.sections[5 * i + 0] = s[i].b0;
        result.sections[5 * i + 1] = s[i].b1;
        result.sections[5 * i + 2] = s[i].b2;
        result.sections[5 * i + 3] = s[i].c1;
        result.sections[5 * i + 4] = s[i].c2;
    }
    for (int i = 0; i < 4; ++i) {
        double rows[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
        if (p.resMode[i] != 0) {
            const Resonance r = resonance(resOmega(p.resF[i]), resTau(p.resMs[i]));
            rows[0] = r.g0;
            rows[1] = r.sv / r.g0;
            rows[2] = -(1.0 - r.r2) / rows[1];
            rows[3] = (1.0 - r.x1 + r.r2) / rows[1];
            rows[4] = resGain(p.resMode[i], p.resD[i]);
        }
        for (int row = 0; row < 5; ++row) result.resonators[4 * row + i] = rows[row];
    }
}

std::vector<float> parameterFloats(const FitResult& result) {
    std::vector<float> out;
    out.reserve(55 + 2 * kMaxTaps);
    for (int i = 0; i < 3; ++i) {
        out.push_back(1.0f);
        for (int k = 0; k < 4; ++k) out.push_back(0.0f);
    }
    for (double c : result.sections) out.push_back(static_cast<float>(c));
    for (int i = 0; i < 4; ++i)
        for (int row = 0; row < 5; ++row)
            out.push_back(static_cast<float>(result.resonators[4 * row + i]));
    const int count = result.sparseCount < 0 ? 0
                      : result.sparseCount > static_cast<int>(result.sparse.size())
                          ? static_cast<int>(result.sparse.size())
                          : result.sparseCount;
    std::vector<int> taps;
    for (int i = 0; i < count; ++i)
        if (result.sparse[static_cast<size_t>(i)] != 0.0) taps.push_back(i);
    for (int i : taps) out.push_back(static_cast<float>(result.sparse[static_cast<size_t>(i)]));
    for (int i : taps) out.push_back(static_cast<float>(static_cast<double>(i) * 6.103515625e-05));
    return out;
}

std::vector<float> neutralParameterFloats() {
    static constexpr int kPositions[32] = {0,   9,   18,  27,  36,  54,  81,  90,  108, 117, 126,
                                           135, 171, 180, 189, 207, 216, 234, 243, 270, 288, 297,
                                           306, 315, 333, 369, 387, 396, 432, 504, 531, 630};
    std::vector<float> out;
    for (int i = 0; i < 7; ++i) {
        out.push_back(1.0f);
        for (int k = 0; k < 4; ++k) out.push_back(0.0f);
    }
    for (int i = 0; i < 20; ++i) out.push_back(0.0f);
    out.push_back(1.0f);
    for (int i = 1; i < 32; ++i) out.push_back(0.0f);
    for (int k : kPositions) out.push_back(static_cast<float>(static_cast<double>(k) / 16384.0));
    return out;
}

bool writeFloats(const char* path, const std::vector<float>& values) {
    if (path == nullptr) return false;
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path, "wb"), &std::fclose);
    if (!file) return false;
    std::vector<unsigned char> bytes(values.size() * 4);
    for (size_t i = 0; i < values.size(); ++i) {
        uint32_t u;
        std::memcpy(&u, &values[i], 4);
        bytes[4 * i + 0] = static_cast<unsigned char>(u);
        bytes[4 * i + 1] = static_cast<unsigned char>(u >> 8);
        bytes[4 * i + 2] = static_cast<unsigned char>(u >> 16);
        bytes[4 * i + 3] = static_cast<unsigned char>(u >> 24);
    }
    bool written =
        bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    written = std::fflush(file.get()) == 0 && written;
    // The last chance to hear of a failed write (a full disk, a network file system) is the
    // close: it counts too.
    return std::fclose(file.release()) == 0 && written;
}

}  // namespace lumetta::ir
