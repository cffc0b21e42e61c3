#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "midi/MIDIParser.h"

using lumetta::midi::MIDIInputDelegate;
using lumetta::midi::MIDIPacket;
using lumetta::midi::MIDIParser;

namespace {

using Bytes = std::vector<uint8_t>;

struct Message {
    Bytes bytes;
    uint32_t timeStamp;
    bool operator==(const Message&) const = default;
};

class Collector final : public MIDIInputDelegate {
  public:
    void midiInputMessage(const uint8_t* bytes, int32_t size, uint32_t timeStamp) override {
        messages.push_back({Bytes(bytes, bytes + size), timeStamp});
    }
    std::vector<Message> messages;
};

std::string hex(const Bytes& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::vector<std::string> hexes(const std::vector<Message>& messages) {
    std::vector<std::string> out;
    for (auto& m : messages) out.push_back(hex(m.bytes));
    return out;
}

// Packets stamped n milliseconds of host time (nanoseconds) for packet n, from 1.
class ParserTest : public ::testing::Test {
  protected:
    void feed(const Bytes& bytes, uint32_t millis = 1) {
        MIDIPacket packet{uint64_t(millis) * 1000000u, bytes.data(),
                          static_cast<uint16_t>(bytes.size())};
        parser.parse(packet, &out);
    }
    std::vector<std::string> got() { return hexes(out.messages); }

    MIDIParser parser;
    Collector out;
};

using V = std::vector<std::string>;

}  // namespace

// What one packet yields, message by message.
TEST_F(ParserTest, EachPacketYieldsItsMessages) {
    const struct {
        Bytes packet;
        V messages;
    } cases[] = {
        {{}, {}},
        // Running status: two note-ons; a program change takes one data byte.
        {{0x90, 0x3C, 0x64, 0x3C, 0x00}, {"90 3C 64", "90 3C 00"}},
        {{0xC0, 0x05, 0x06}, {"C0 05", "C0 06"}},
        // Clock, active sensing and the undefined real-time bytes are dropped; start,
        // continue, stop, reset and tune request are messages of one byte.
        {{0xF8, 0xFE, 0xF9, 0xFD}, {}},
        {{0xFA, 0xFB, 0xFC, 0xFF, 0xF6}, {"FA", "FB", "FC", "FF", "F6"}},
        // System common messages take their data bytes (F4, F5 none) and keep running status.
        {{0xF1, 0x23, 0xF2, 0x01, 0x02, 0xF3, 0x05, 0xF4, 0xF5}, {"F1 23", "F2 01 02", "F3 05"}},
        {{0x90, 0x3C, 0x64, 0xF6, 0x3D, 0x65}, {"90 3C 64", "F6", "90 3D 65"}},
        // An end of SysEx alone yields nothing; a real-time byte inside a SysEx comes first.
        {{0xF7}, {}},
        {{0xF0, 0x01, 0xFA, 0x02, 0xF7}, {"FA", "F0 01 02 F7"}},
        // A channel status inside a SysEx ends collection but keeps its bytes for a later end.
        {{0xF0, 0x41, 0x90, 0x3C, 0x64, 0xF7}, {"90 3C 64", "F0 41 F7"}},
        // Real-time bytes may come anywhere: between the data bytes of a message they are
        // delivered (or dropped) on their own and the message completes from the bytes after.
        {{0x90, 0x3C, 0xFA, 0x64}, {"FA", "90 3C 64"}},
        {{0xB0, 0xF8, 0x07, 0xFE, 0x10, 0xF8, 0x08, 0x20}, {"B0 07 10", "B0 08 20"}},
        {{0xF2, 0x01, 0xFC, 0x02}, {"FC", "F2 01 02"}},
        // A status byte abandons an unfinished message.
        {{0x90, 0x3C, 0x80, 0x3C, 0x40}, {"80 3C 40"}},
    };
    for (const auto& c : cases) {
        MIDIParser fresh;
        Collector collected;
        MIDIPacket packet{1000000u, c.packet.data(), static_cast<uint16_t>(c.packet.size())};
        fresh.parse(packet, &collected);
        EXPECT_EQ(hexes(collected.messages), c.messages) << hex(c.packet);
    }
    feed({0xF7});
    EXPECT_EQ(parser.running(), 0) << "an end of SysEx alone leaves no running status";
}

TEST_F(ParserTest, SysExSplitOverTwoPacketsIsDeliveredOnceWithTheSecondTimeStamp) {
    feed({0xF0, 0x41}, 5);
    EXPECT_TRUE(out.messages.empty());
    feed({0x10, 0xF7}, 9);
    ASSERT_EQ(out.messages.size(), 1u);
    EXPECT_EQ(hex(out.messages[0].bytes), "F0 41 10 F7");
    EXPECT_EQ(out.messages[0].timeStamp, 9u);
}

TEST_F(ParserTest, LongSysExIsCutTo510DataBytesAndClosed) {
    Bytes in{0xF0};
    for (int i = 0; i < 600; ++i) in.push_back(static_cast<uint8_t>(i & 0x7F));
    in.push_back(0xF7);
    // Two packets, as a packet carries at most what its 16-bit count allows anyway.
    feed(Bytes(in.begin(), in.begin() + 300));
    feed(Bytes(in.begin() + 300, in.end()));
    ASSERT_EQ(out.messages.size(), 1u);
    const Bytes& m = out.messages[0].bytes;
    ASSERT_EQ(m.size(), 512u);
    EXPECT_EQ(m.front(), 0xF0);
    EXPECT_EQ(m.back(), 0xF7);
    EXPECT_TRUE(std::equal(m.begin() + 1, m.end() - 1, in.begin() + 1));
}

TEST_F(ParserTest, DataByteAfterResetIsDropped) {
    feed({0x90, 0x3C, 0x64});
    parser.reset();
    feed({0x3C, 0x00, 0xB0, 0x07, 0x10});
    EXPECT_EQ(got(), (V{"90 3C 64", "B0 07 10"}));
}

TEST_F(ParserTest, ChannelMessageCutAtPacketEndCompletesFromTheNextPacket) {
    feed({0x90, 0x3C}, 3);
    EXPECT_TRUE(out.messages.empty());
    feed({0x64, 0x3D, 0x00}, 4);
    ASSERT_EQ(got(), (V{"90 3C 64", "90 3D 00"}));
    EXPECT_EQ(out.messages[0].timeStamp, 4u);
}

TEST_F(ParserTest, ResetDropsAnUnfinishedSysEx) {
    feed({0xF0, 0x01, 0x02});
    parser.reset();
    feed({0x03, 0xF7});
    EXPECT_TRUE(out.messages.empty());
}

TEST_F(ParserTest, RequestedResetTakesEffectBeforeTheNextPacket) {
    feed({0xF0, 0x01, 0x02});
    parser.requestReset();
    feed({0x03, 0xF7, 0x90, 0x3C});
    feed({0x64});
    EXPECT_EQ(got(), (V{"90 3C 64"}));
}

TEST_F(ParserTest, EveryMessageOfAPacketCarriesItsTimeStamp) {
    feed({0x90, 0x3C, 0x64, 0xFA, 0xC0, 0x01}, 77);
    ASSERT_EQ(out.messages.size(), 3u);
    for (auto& m : out.messages) EXPECT_EQ(m.timeStamp, 77u);
}

// ---- randomised comparison against a plain reference decoder ---------------------------------

namespace {

// Decodes the whole byte stream at once, as MIDI 1.0 reads it, with the same policy: real-time
// bytes on their own (four of them dropped), running status for channel messages, system
// common kept out of running status, SysEx of at most 510 data bytes closed by F7.
// `packetOf[i]` is the packet in which byte i arrived; a message carries the time stamp of the
// packet holding its last byte.
std::vector<Message> referenceDecode(const Bytes& stream, const std::vector<uint32_t>& stampOf) {
    std::vector<Message> out;
    int status = 0;  // running channel status, or 0
    bool inSysEx = false;
    Bytes sysex;      // F0 and data bytes, kept past a channel status as the parser does
    Bytes pending;    // a message waiting for data bytes
    size_t want = 0;  // total length of `pending` when complete
    auto lengthOf = [](int s) -> size_t {
        if (s >= 0x80 && s < 0xF0) return (s & 0xF0) == 0xC0 || (s & 0xF0) == 0xD0 ? 2 : 3;
        if (s == 0xF1 || s == 0xF3) return 2;
        if (s == 0xF2) return 3;
        return 1;
    };
    for (size_t i = 0; i < stream.size(); ++i) {
        const uint8_t b = stream[i];
        const uint32_t t = stampOf[i];
        if (b >= 0xF8) {
            if (b != 0xF8 && b != 0xF9 && b != 0xFD && b != 0xFE) out.push_back({{b}, t});
            continue;
        }
        if (b >= 0x80) {
            pending.clear();
            want = 0;
            if (b < 0xF0) {
                status = b;
                inSysEx = false;
                pending = {b};
                want = lengthOf(b);
            } else if (b == 0xF0) {
                status = 0;
                inSysEx = true;
                sysex = {0xF0};
            } else if (b == 0xF7) {
                status = 0;
                inSysEx = false;
                if (!sysex.empty()) {
                    sysex.push_back(0xF7);
                    out.push_back({sysex, t});
                    sysex.clear();
                }
            } else if (b == 0xF6) {
                out.push_back({{b}, t});
            } else if (b == 0xF1 || b == 0xF2 || b == 0xF3) {
                pending = {b};
                want = lengthOf(b);
            }
            continue;
        }
        if (pending.empty() && status != 0) {
            pending = {static_cast<uint8_t>(status)};
            want = lengthOf(status);
        }
        if (!pending.empty()) {
            pending.push_back(b);
            if (pending.size() == want) {
                out.push_back({pending, t});
                pending.clear();
            }
            continue;
        }
        if (inSysEx && sysex.size() < 511) sysex.push_back(b);
    }
    return out;
}

}  // namespace

TEST(ParserRandomTest, MatchesTheReferenceDecoderOnRandomStreams) {
    std::mt19937 random(20240611);
    for (int round = 0; round < 400; ++round) {
        // Mostly well-formed traffic with every kind of disturbance mixed in.
        Bytes stream;
        const int events = 1 + static_cast<int>(random() % 60);
        for (int e = 0; e < events; ++e) {
            const unsigned pick = random() % 100;
            if (pick < 40) {
                stream.push_back(static_cast<uint8_t>(0x80 + random() % 0x70));
            } else if (pick < 50) {
                stream.push_back(0xF0);
                const unsigned n = random() % 2 == 0 ? random() % 20 : random() % 700;
                for (unsigned k = 0; k < n; ++k)
                    stream.push_back(static_cast<uint8_t>(random() % 0x80));
                if (random() % 4 != 0) stream.push_back(0xF7);
                continue;
            } else if (pick < 60) {
                stream.push_back(static_cast<uint8_t>(0xF1 + random() % 7));
            } else if (pick < 70) {
                stream.push_back(static_cast<uint8_t>(0xF8 + random() % 8));
            }
            const unsigned data = random() % 5;
            for (unsigned k = 0; k < data; ++k) {
                stream.push_back(static_cast<uint8_t>(random() % 0x80));
                if (random() % 8 == 0) stream.push_back(static_cast<uint8_t>(0xF8 + random() % 8));
            }
        }
        // Cut into packets at random places; packet n is stamped n milliseconds.
        std::vector<uint32_t> stampOf(stream.size());
        MIDIParser parser;
        Collector got;
        size_t at = 0;
        uint32_t packetNo = 1;
        while (at < stream.size()) {
            const size_t n = std::min(stream.size() - at, size_t(1 + random() % 40));
            for (size_t k = at; k < at + n; ++k) stampOf[k] = packetNo;
            MIDIPacket packet{uint64_t(packetNo) * 1000000u, stream.data() + at,
                              static_cast<uint16_t>(n)};
            parser.parse(packet, &got);
            at += n;
            ++packetNo;
        }
        const auto expected = referenceDecode(stream, stampOf);
        ASSERT_EQ(got.messages.size(), expected.size()) << "round " << round << ": " << hex(stream);
        for (size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ(hex(got.messages[i].bytes), hex(expected[i].bytes))
                << "round " << round << " message " << i;
            ASSERT_EQ(got.messages[i].timeStamp, expected[i].timeStamp)
                << "round " << round << " message " << i;
        }
    }
}
