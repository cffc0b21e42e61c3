// A chunk of a RIFF file read as a stream of its own.

#include <gtest/gtest.h>

#include "audio/FileStream.h"
#include "audio/RiffChunkStream.h"
#include "ir/SynthIr.h"

using namespace lumetta;
using namespace lumetta::ir::test;

TEST(RiffChunkStream, SeekReadAndCloseStayInsideTheChunk) {
    auto path =
        writeTemp("chunks.wav", riffFile({Chunk{"abcd", {1, 2, 3}}, Chunk{"efgh", {9, 8}}}));
    audio::FileStream file;
    ASSERT_TRUE(file.openRead(path.c_str()));
    EXPECT_FALSE(file.openRead(path.c_str()));  // already open
    audio::RiffChunkStream riff(file);
    ASSERT_TRUE(riff.openRead("RIFF"));
    ASSERT_TRUE(riff.skip(4));
    {
        audio::RiffChunkStream a(static_cast<audio::DataStream&>(riff));
        ASSERT_TRUE(a.openRead("abcd"));
        EXPECT_EQ(a.size(), 3u);
        uint8_t buf[8] = {};
        EXPECT_EQ(a.read(buf, 8), 3u);
        EXPECT_EQ(buf[2], 3);
        EXPECT_EQ(a.read(buf, 8), 0u);
        EXPECT_FALSE(a.seek(4));
        EXPECT_TRUE(a.seek(3));
        EXPECT_TRUE(a.skip(-2));
        EXPECT_EQ(a.position(), 1u);
        EXPECT_FALSE(a.skip(-2));
    }
    // Closing "abcd" left the parent at the next header, past the pad byte.
    audio::RiffChunkStream b(static_cast<audio::DataStream&>(riff));
    ASSERT_TRUE(b.openRead("efgh"));
    uint8_t two[2];
    EXPECT_EQ(b.read(two, 2), 2u);
    EXPECT_EQ(two[0], 9);
    audio::RiffChunkStream none(static_cast<audio::DataStream&>(riff));
    EXPECT_FALSE(none.openRead("zzzz"));
}
