#include <gtest/gtest.h>

#include <vector>

#include "link/DLKMIDIPacket.h"

using namespace lumetta::link;

namespace {

using Bytes = std::vector<uint8_t>;

class Frames : public DLKFrameSink {
  public:
    void writeFrame(const uint8_t* frame, size_t size) override {
        frames.emplace_back(frame, frame + size);
    }
    std::vector<Bytes> frames;
};

Frames encode(const Bytes& message, int cable = 0, uint32_t ts = 0) {
    DLKMIDIEncoder encoder;
    Frames out;
    encoder.encode(message.data(), static_cast<int32_t>(message.size()), cable, ts, out);
    return out;
}

struct Message {
    Bytes bytes;
    uint32_t timeStamp;
    int32_t cable;
    bool operator==(const Message&) const = default;
};

class Messages : public DLKMIDIMessageHandler {
  public:
    void midiInputMessage(const uint8_t* b, int32_t size, uint32_t ts, int32_t cable) override {
        list.push_back({Bytes(b, b + size), ts, cable});
    }
    std::vector<Message> list;
};

// The payload of a received MIDI frame: time stamp then packets.
Bytes payload(uint32_t ts, const Bytes& packets) {
    Bytes p(4 + packets.size());
    p[0] = uint8_t(ts >> 24), p[1] = uint8_t(ts >> 16), p[2] = uint8_t(ts >> 8), p[3] = uint8_t(ts);
    std::copy(packets.begin(), packets.end(), p.begin() + 4);
    return p;
}

}  // namespace

TEST(DLKMIDIEncoderTest, NoteOnOnCableZeroWithoutStreaming) {
    auto out = encode({0x90, 0x3C, 0x64});
    ASSERT_EQ(out.frames.size(), 1u);
    EXPECT_EQ(out.frames[0], (Bytes{0x02, 0x00, 0x00, 0x08, 0, 0, 0, 0, 0x09, 0x90, 0x3C, 0x64}));
}

// The packets after the frame header and time stamp, for each kind of message. An undefined
// status or a lone data byte sends only the time stamp; only the first channel message of a
// buffer is sent, and a short one is padded.
TEST(DLKMIDIEncoderTest, EachMessageBecomesItsPackets) {
    const struct {
        Bytes message;
        int cable;
        Bytes packets;
    } cases[] = {
        {{0xC0, 0x05, 0x7F}, 1, {0x1C, 0xC0, 0x05, 0x00}},
        {{0xF0, 0x41, 0x10, 0x42, 0x12, 0xF7}, 0, {0x04, 0xF0, 0x41, 0x10, 0x07, 0x42, 0x12, 0xF7}},
        {{0xF0, 0x41, 0xF7}, 0, {0x07, 0xF0, 0x41, 0xF7}},
        {{0xF0, 0x41, 0x42, 0x43, 0xF7}, 0, {0x04, 0xF0, 0x41, 0x42, 0x06, 0x43, 0xF7, 0x00}},
        {{0xF0, 0x41, 0x42, 0xF7}, 0, {0x04, 0xF0, 0x41, 0x42, 0x05, 0xF7, 0x00, 0x00}},
        {{0xF1, 0x23}, 0, {0x02, 0xF1, 0x23, 0x00}},
        {{0xF3, 0x05}, 0, {0x02, 0xF3, 0x05, 0x00}},
        {{0xF2, 0x01, 0x02}, 0, {0x03, 0xF2, 0x01, 0x02}},
        {{0xF6}, 0, {0x05, 0xF6, 0x00, 0x00}},
        {{0xF8}, 0, {0x0F, 0xF8, 0x00, 0x00}},
        {{0xFA}, 0, {0x0F, 0xFA, 0x00, 0x00}},
        {{0xFB}, 0, {0x0F, 0xFB, 0x00, 0x00}},
        {{0xFC}, 0, {0x0F, 0xFC, 0x00, 0x00}},
        {{0xFE}, 0, {0x0F, 0xFE, 0x00, 0x00}},
        {{0xFF}, 0, {0x0F, 0xFF, 0x00, 0x00}},
        {{0xF4, 0x01}, 0, {}},
        {{0xF5, 0x01}, 0, {}},
        {{0xF7, 0x01}, 0, {}},
        {{0xF9, 0x01}, 0, {}},
        {{0xFD, 0x01}, 0, {}},
        {{0x40, 0x01}, 0, {}},
        {{0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00}, 0, {0x09, 0x90, 0x3C, 0x64}},
        {{0x90, 0x3C}, 0, {0x09, 0x90, 0x3C, 0x00}},
    };
    for (const auto& c : cases) {
        auto out = encode(c.message, c.cable);
        ASSERT_EQ(out.frames.size(), 1u) << ::testing::PrintToString(c.message);
        const auto& f = out.frames[0];
        EXPECT_EQ((size_t(f[2]) << 8 | f[3]), f.size() - 4);
        EXPECT_EQ(Bytes(f.begin() + 8, f.end()), c.packets) << ::testing::PrintToString(c.message);
    }
}

TEST(DLKMIDIEncoderTest, NothingForEmptyOrNullInput) {
    DLKMIDIEncoder encoder;
    Frames out;
    EXPECT_EQ(encoder.encode(nullptr, 3, 0, 0, out), 0);
    uint8_t b = 0x90;
    EXPECT_EQ(encoder.encode(&b, 0, 0, 0, out), 0);
    EXPECT_TRUE(out.frames.empty());
}

TEST(DLKMIDIEncoderTest, TimeStampIsBigEndian) {
    auto out = encode({0xF8}, 0, 0x01020304);
    EXPECT_EQ(Bytes(out.frames[0].begin() + 4, out.frames[0].begin() + 8), (Bytes{1, 2, 3, 4}));
}

TEST(DLKMIDIEncoderTest, LongSysExIsSplitIntoFramesThatReassembleExactly) {
    Bytes sysex = {0xF0};
    for (int i = 0; i < 508; ++i) sysex.push_back(uint8_t(i % 128));
    sysex.push_back(0xF7);  // 510 bytes: 170 packets, two frames; fits the receiver's 512
    auto out = encode(sysex, 3, 77);
    ASSERT_EQ(out.frames.size(), 2u);
    size_t packets = 0;
    for (auto& f : out.frames) {
        ASSERT_LE(f.size(), 512u);
        EXPECT_EQ(f[0], 2);
        EXPECT_EQ((size_t(f[2]) << 8 | f[3]), f.size() - 4);
        packets += (f.size() - 8) / 4;
    }
    EXPECT_EQ(packets, 170u);
    EXPECT_EQ(out.frames[0].size(), 512u);
    DLKMIDIParser parser;
    Messages got;
    for (auto& f : out.frames) parser.parse(f.data() + 4, f.size() - 4, got);
    ASSERT_EQ(got.list.size(), 1u);
    EXPECT_EQ(got.list[0], (Message{sysex, 77, 3}));
}

TEST(DLKMIDIParserTest, SysExOverTwoPacketsIsDeliveredOnce) {
    DLKMIDIParser parser;
    Messages got;
    auto p = payload(1000, {0x04, 0xF0, 0x41, 0x10, 0x06, 0x42, 0xF7, 0x00});
    parser.parse(p.data(), p.size(), got);
    ASSERT_EQ(got.list.size(), 1u);
    EXPECT_EQ(got.list[0], (Message{{0xF0, 0x41, 0x10, 0x42, 0xF7}, 1000, 0}));
}

TEST(DLKMIDIParserTest, ChannelAndSystemMessagesHaveTheirSizes) {
    DLKMIDIParser parser;
    Messages got;
    auto p = payload(5, {0x09, 0x90, 0x3C, 0x64, 0x1C, 0xC0, 0x05, 0x00, 0x2D, 0xD0, 0x10, 0x00,
                         0x0E, 0xE0, 0x00, 0x40, 0x0F, 0xF8, 0x00, 0x00, 0x0F, 0xFE, 0x00, 0x00,
                         0x02, 0xF1, 0x11, 0x00, 0x03, 0xF2, 0x01, 0x02, 0x05, 0xF6, 0x00, 0x00});
    parser.parse(p.data(), p.size(), got);
    std::vector<Message> expected = {
        {{0x90, 0x3C, 0x64}, 5, 0},
        {{0xC0, 0x05}, 5, 1},
        {{0xD0, 0x10}, 5, 2},
        {{0xE0, 0x00, 0x40}, 5, 0},
        {{0xF8}, 5, 0},
        {{0xFE}, 5, 0},
        {{0xF1, 0x11}, 5, 0},
        {{0xF2, 0x01, 0x02}, 5, 0},
        {{0xF6}, 5, 0},
    };
    EXPECT_EQ(got.list, expected);
}

TEST(DLKMIDIParserTest, CablesAssembleTheirSysExIndependentlyAcrossFrames) {
    DLKMIDIParser parser;
    Messages got;
    auto a = payload(1, {0x04, 0xF0, 0x01, 0x02, 0x14, 0xF0, 0x11, 0x12});
    auto b = payload(2, {0x15, 0xF7, 0x00, 0x00, 0x06, 0x03, 0xF7, 0x00});
    parser.parse(a.data(), a.size(), got);
    EXPECT_TRUE(got.list.empty());
    parser.parse(b.data(), b.size(), got);
    ASSERT_EQ(got.list.size(), 2u);
    EXPECT_EQ(got.list[0], (Message{{0xF0, 0x11, 0x12, 0xF7}, 2, 1}));
    EXPECT_EQ(got.list[1], (Message{{0xF0, 0x01, 0x02, 0x03, 0xF7}, 2, 0}));
}

TEST(DLKMIDIParserTest, OversizedSysExIsDroppedWithoutOverrunAndTheNextOneArrives) {
    DLKMIDIParser parser;
    Messages got;
    Bytes packets;
    for (int i = 0; i < 200; ++i) packets.insert(packets.end(), {0x04, 0x01, 0x02, 0x03});
    packets.insert(packets.end(), {0x05, 0xF7, 0, 0});
    auto big = payload(1, packets);
    parser.parse(big.data(), big.size(), got);
    EXPECT_TRUE(got.list.empty());
    auto next = payload(2, {0x07, 0xF0, 0x7E, 0xF7});
    parser.parse(next.data(), next.size(), got);
    ASSERT_EQ(got.list.size(), 1u);
    EXPECT_EQ(got.list[0].bytes, (Bytes{0xF0, 0x7E, 0xF7}));
}

TEST(DLKMIDIParserTest, SysExOfExactly512BytesIsDelivered) {
    DLKMIDIParser parser;
    Messages got;
    Bytes packets;
    for (int i = 0; i < 170; ++i) packets.insert(packets.end(), {0x04, 0x01, 0x02, 0x03});
    packets.insert(packets.end(), {0x06, 0x04, 0xF7, 0});  // 510 + 2
    auto p = payload(1, packets);
    parser.parse(p.data(), p.size(), got);
    ASSERT_EQ(got.list.size(), 1u);
    EXPECT_EQ(got.list[0].bytes.size(), 512u);
}

TEST(DLKMIDIParserTest, TrailingPartialPacketAndUnknownCodesAreSkipped) {
    DLKMIDIParser parser;
    Messages got;
    auto p = payload(9, {0x08, 0x01, 0x02, 0x03, 0x09, 0x90, 0x3C, 0x64, 0x09, 0x90});
    parser.parse(p.data(), p.size(), got);
    ASSERT_EQ(got.list.size(), 1u);
    EXPECT_EQ(got.list[0].bytes, (Bytes{0x90, 0x3C, 0x64}));
    Bytes onlyTime = {0, 0, 0, 1};
    parser.parse(onlyTime.data(), onlyTime.size(), got);
    parser.parse(onlyTime.data(), 2, got);
    EXPECT_EQ(got.list.size(), 1u);
}
