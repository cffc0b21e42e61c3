// The "wavstat" command on the WAV reader.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "ir/IrCommands.h"
#include "ir/SynthIr.h"

using namespace lumetta;
using namespace lumetta::ir::test;

TEST(WavStatCommand, CopiesTheDictionaryAndAnswersFalseForBadInput) {
    auto path = writeTemp("cmd.wav", riffFile({fmtChunk(1, 2, 44100, 16),
                                               Chunk{"data", std::vector<uint8_t>(40, 0x11)}}));
    nlohmann::json result = nlohmann::json::object();
    EXPECT_TRUE(ir::wavstatCommand(nullptr, {{"path", path}}, result));
    EXPECT_EQ(result["samples"], 10);
    nlohmann::json none = nlohmann::json::object();
    EXPECT_FALSE(ir::wavstatCommand(nullptr, nlohmann::json(), none));
    EXPECT_FALSE(ir::wavstatCommand(nullptr, {{"path", tempDir() + "missing.wav"}}, none));
    EXPECT_TRUE(none.empty());
}
