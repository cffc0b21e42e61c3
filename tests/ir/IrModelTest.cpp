// The parameter file: layout, neutral file, byte order.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "ir/IrModel.h"
#include "ir/SynthIr.h"

using namespace lumetta::ir;

namespace {
std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}
}  // namespace

TEST(ParameterFile, HoldsNeutralSectionsFittedSectionsResonatorsAndTaps) {
    FitResult r;
    r.params.hpOn = true;
    r.params.hpF = 100;
    r.params.hpQ = 0.7;
    r.params.resMode = {1, 0, 2, 0};
    r.params.resF = {120, 0, 200, 0};
    r.params.resMs = {50, 0, 20, 0};
    r.params.resD = {-6, 0, 0, 0};
    computeCoefficients(r);
    r.sparseCount = 10;
    r.sparse[0] = 0.75;
    r.sparse[6] = -0.125;
    r.sparse[12] = 9.0;  // past sparseCount: not a tap
    const auto f = parameterFloats(r);
    ASSERT_EQ(f.size(), 55u + 2 * 2);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(f[5 * i], 1.0f);
        for (int k = 1; k < 5; ++k) EXPECT_EQ(f[5 * i + k], 0.0f);
    }
    const Biquad hp = highPass(100, 0.7);
    EXPECT_EQ(f[15], static_cast<float>(hp.b0));
    EXPECT_EQ(f[19], static_cast<float>(hp.c2));
    EXPECT_EQ(f[20], 1.0f);  // peaking off
    // Resonator 0 as rows 0..4, then resonator 1 (off) as zeros.
    EXPECT_EQ(f[35], static_cast<float>(r.resonators[0]));
    EXPECT_EQ(f[39], static_cast<float>(gainOf(-6)));
    for (int k = 40; k < 45; ++k) EXPECT_EQ(f[k], 0.0f);
    EXPECT_EQ(f[49], -1.0f);  // resonator 2 negative, gain 0 dB
    EXPECT_EQ(f[55], 0.75f);
    EXPECT_EQ(f[56], -0.125f);
    EXPECT_EQ(f[57], 0.0f);
    EXPECT_EQ(f[58], static_cast<float>(6 * 6.103515625e-05));
}

TEST(ParameterFile, NoTapsMeansExactly55Floats) {
    FitResult r;
    computeCoefficients(r);
    EXPECT_EQ(parameterFloats(r).size(), 55u);
}

TEST(ParameterFile, NeutralFileHas119FloatsAndItsPositions) {
    const auto f = neutralParameterFloats();
    ASSERT_EQ(f.size(), 119u);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(f[5 * i], 1.0f);
    EXPECT_EQ(f[35], 0.0f);
    EXPECT_EQ(f[55], 1.0f);
    EXPECT_EQ(f[56], 0.0f);
    EXPECT_EQ(f[86], 0.0f);
    EXPECT_EQ(f[87], 0.0f);  // first position
    EXPECT_EQ(f[88], 9.0f / 16384.0f);
    EXPECT_EQ(f[118], 630.0f / 16384.0f);
}

TEST(ParameterFile, WrittenLittleEndianAndUnwritablePathFails) {
    const std::string path = test::tempDir() + "le.prm";
    ASSERT_TRUE(writeFloats(path.c_str(), {1.0f, -2.0f}));
    const auto bytes = readAll(path);
    ASSERT_EQ(bytes.size(), 8u);
    EXPECT_EQ(bytes[0], 0x00);
    EXPECT_EQ(bytes[3], 0x3F);
    EXPECT_EQ(bytes[7], 0xC0);
    EXPECT_FALSE(writeFloats((test::tempDir() + "no/such/dir/x.prm").c_str(), {1.0f}));
}

TEST(ParameterFile, AWriteTheDeviceRefusesFails) {
    // /dev/full takes the open and the buffered write, then refuses the bytes.
    EXPECT_FALSE(writeFloats("/dev/full", std::vector<float>(119, 1.0f)));
}
