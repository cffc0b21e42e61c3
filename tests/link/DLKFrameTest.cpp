#include <gtest/gtest.h>

#include <vector>

#include "link/DLKFrame.h"

using namespace lumetta::link;

namespace {

struct Frame {
    uint8_t type, sub;
    std::vector<uint8_t> payload;
    bool operator==(const Frame&) const = default;
};

class Collector : public DLKFrameReader::Handler {
  public:
    bool frameReceived(uint8_t type, uint8_t sub, const uint8_t* payload, size_t length) override {
        frames.push_back({type, sub, std::vector<uint8_t>(payload, payload + length)});
        return accept;
    }
    std::vector<Frame> frames;
    bool accept = true;
};

std::vector<uint8_t> bytesOf(const DLKControlFrame& f) {
    return std::vector<uint8_t>(f.data(), f.data() + f.size);
}

}  // namespace

TEST(DLKFrameTest, ControlFramesHaveTheirHeaderLengthAndBigEndianPayload) {
    EXPECT_EQ(bytesOf(DLKControlFrame(0, 1).u8(5)), (std::vector<uint8_t>{0, 1, 0, 1, 5}));
    EXPECT_EQ(bytesOf(DLKControlFrame(4, 1).u16(50000)),
              (std::vector<uint8_t>{0x04, 0x01, 0x00, 0x02, 0xC3, 0x50}));
    EXPECT_EQ(bytesOf(DLKControlFrame(7, 0).u32(1500)),
              (std::vector<uint8_t>{7, 0, 0, 4, 0, 0, 0x05, 0xDC}));
    EXPECT_EQ(bytesOf(DLKControlFrame(4, 2)), (std::vector<uint8_t>{4, 2, 0, 0}));
}

TEST(DLKFrameTest, EncodeFrameWritesHeaderThenPayload) {
    EXPECT_EQ(encodeFrame(1, 2, {0, 0, 0, 0x2A}),
              (std::vector<uint8_t>{1, 2, 0, 4, 0, 0, 0, 0x2A}));
}

TEST(DLKFrameTest, ReaderHandsOverFramesSplitAtEveryByte) {
    std::vector<uint8_t> stream = {0, 1, 0, 1, 5, 1, 2, 0, 4, 0, 0, 0, 0x2A, 0, 0, 0, 0};
    DLKFrameReader reader;
    Collector c;
    for (uint8_t b : stream) ASSERT_EQ(reader.feed(&b, 1, c), DLKFrameReader::Outcome::ok);
    ASSERT_EQ(c.frames.size(), 3u);
    EXPECT_EQ(c.frames[0], (Frame{0, 1, {5}}));
    EXPECT_EQ(c.frames[1], (Frame{1, 2, {0, 0, 0, 0x2A}}));
    EXPECT_EQ(c.frames[2], (Frame{0, 0, {}}));
    EXPECT_FALSE(reader.midFrame());
}

TEST(DLKFrameTest, ReaderReportsAHalfReadFrame) {
    DLKFrameReader reader;
    Collector c;
    const uint8_t part[] = {2, 0, 0, 12, 0, 0};
    EXPECT_EQ(reader.feed(part, sizeof part, c), DLKFrameReader::Outcome::ok);
    EXPECT_TRUE(reader.midFrame());
    EXPECT_TRUE(c.frames.empty());
    reader.reset();
    EXPECT_FALSE(reader.midFrame());
}

TEST(DLKFrameTest, TypeNineFrameIsConsumedWhole) {
    DLKFrameReader reader;
    Collector c;
    const uint8_t bytes[] = {9, 0, 0, 3, 1, 2, 3, 0, 0, 0, 0};
    EXPECT_EQ(reader.feed(bytes, sizeof bytes, c), DLKFrameReader::Outcome::ok);
    ASSERT_EQ(c.frames.size(), 2u);
    EXPECT_EQ(c.frames[0], (Frame{9, 0, {1, 2, 3}}));
    EXPECT_EQ(c.frames[1], (Frame{0, 0, {}}));
}

TEST(DLKFrameTest, AnnouncedLengthAboveTheLimitLosesFraming) {
    DLKFrameReader reader;
    Collector c;
    const uint8_t absurd[] = {2, 0, 0x80, 0x01};
    EXPECT_EQ(reader.feed(absurd, sizeof absurd, c), DLKFrameReader::Outcome::badLength);
    EXPECT_TRUE(c.frames.empty());
}

TEST(DLKFrameTest, LargestAllowedFrameIsDelivered) {
    std::vector<uint8_t> stream = {9, 0, 0x80, 0x00};
    stream.resize(4 + 32768, 0x55);
    DLKFrameReader reader;
    Collector c;
    EXPECT_EQ(reader.feed(stream.data(), stream.size(), c), DLKFrameReader::Outcome::ok);
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0].payload.size(), 32768u);
}

TEST(DLKFrameTest, RefusedFrameStopsFeeding) {
    DLKFrameReader reader;
    Collector c;
    c.accept = false;
    const uint8_t bytes[] = {3, 0, 0, 1, 7, 0, 0, 0, 0};
    EXPECT_EQ(reader.feed(bytes, sizeof bytes, c), DLKFrameReader::Outcome::handlerFailed);
    EXPECT_EQ(c.frames.size(), 1u);
}

TEST(DLKFrameTest, StatusRecordReadsBothStreams) {
    uint8_t bytes[32] = {};
    bytes[0] = 1, bytes[1] = 64, bytes[2] = 0xF6, bytes[3] = 0x88;
    bytes[4] = 0x00, bytes[5] = 0x01, bytes[6] = 0x58, bytes[7] = 0x88;
    bytes[16] = 2, bytes[17] = 127, bytes[18] = 0xFD, bytes[19] = 0x00;
    bytes[23] = 10;
    auto s = KNP_AUDIO_STATUS::fromBytes(bytes);
    EXPECT_EQ(s.output.status, 1);
    EXPECT_EQ(s.output.volume, 64);
    EXPECT_EQ(s.output.peakPowerL, -10);
    EXPECT_EQ(s.output.peakPowerR, -120);
    EXPECT_EQ(s.output.frame, 88200u);
    EXPECT_EQ(s.input.status, 2);
    EXPECT_EQ(s.input.peakPowerL, -3);
    EXPECT_EQ(s.input.peakPowerR, 0);
    EXPECT_EQ(s.input.frame, 10u);
    uint8_t back[32];
    s.toBytes(back);
    bytes[8] = 0;  // reserved bytes are not carried
    EXPECT_EQ(std::vector<uint8_t>(back, back + 32), std::vector<uint8_t>(bytes, bytes + 32));
}

TEST(DLKFrameTest, ResetStatusHasMinus120Peaks) {
    KNP_AUDIO_STATUS s;
    uint8_t bytes[32];
    s.toBytes(bytes);
    EXPECT_EQ(bytes[2], 0x88);
    EXPECT_EQ(bytes[3], 0x88);
    EXPECT_EQ(bytes[18], 0x88);
    EXPECT_EQ(bytes[19], 0x88);
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(bytes[4], 0);
}
