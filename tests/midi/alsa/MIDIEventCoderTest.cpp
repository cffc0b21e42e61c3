// alsa-lib's MIDI event coder, which the service uses to turn bytes into sequencer events and
// back. It runs in user space, so it is tested for real here, on what the service relies on.

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

struct CoderFree {
    void operator()(snd_midi_event_t* coder) const { snd_midi_event_free(coder); }
};
using Coder = std::unique_ptr<snd_midi_event_t, CoderFree>;

Coder newCoder(size_t bufferSize) {
    snd_midi_event_t* coder = nullptr;
    EXPECT_EQ(snd_midi_event_new(bufferSize, &coder), 0);
    return Coder(coder);
}

// Encodes byte by byte, as the service's sender does; every event with its SysEx bytes copied.
struct Encoded {
    snd_seq_event_type_t type;
    std::vector<uint8_t> data;
    snd_seq_event_t event;
};

std::vector<Encoded> encode(snd_midi_event_t* coder, const std::vector<uint8_t>& bytes) {
    std::vector<Encoded> out;
    for (uint8_t byte : bytes) {
        snd_seq_event_t event{};
        if (snd_midi_event_encode_byte(coder, byte, &event) != 1) continue;
        if (event.type == SND_SEQ_EVENT_NONE) continue;
        Encoded encoded{event.type, {}, event};
        if (snd_seq_ev_is_variable(&event)) {
            const auto* data = static_cast<const uint8_t*>(event.data.ext.ptr);
            encoded.data.assign(data, data + event.data.ext.len);
        }
        out.push_back(encoded);
    }
    return out;
}

std::vector<uint8_t> decode(snd_midi_event_t* coder, const snd_seq_event_t& event) {
    unsigned char buffer[32];
    const long size = snd_midi_event_decode(coder, buffer, sizeof buffer, &event);
    if (size <= 0) return {};
    return std::vector<uint8_t>(buffer, buffer + size);
}

TEST(MIDIEventCoder, ANoteOnIsOneEventAndDecodesToTheSameBytes) {
    Coder encoder = newCoder(256);
    Coder decoder = newCoder(32);
    snd_midi_event_no_status(decoder.get(), 1);
    auto events = encode(encoder.get(), {0x91, 0x3C, 0x64});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, SND_SEQ_EVENT_NOTEON);
    EXPECT_EQ(events[0].event.data.note.channel, 1);
    EXPECT_EQ(events[0].event.data.note.note, 0x3C);
    EXPECT_EQ(events[0].event.data.note.velocity, 0x64);
    EXPECT_EQ(decode(decoder.get(), events[0].event), (std::vector<uint8_t>{0x91, 0x3C, 0x64}));
}

// Nothing here opens /dev/snd: the coder is plain memory.
TEST(MIDIEventCoder, RunningStatusEventsDecodeWithTheStatusRepeated) {
    Coder encoder = newCoder(256);
    Coder decoder = newCoder(32);
    snd_midi_event_no_status(decoder.get(), 1);
    auto events = encode(encoder.get(), {0x90, 0x3C, 0x64, 0x3E, 0x00});
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].type, SND_SEQ_EVENT_NOTEON);
    EXPECT_EQ(events[1].event.data.note.note, 0x3E);
    decode(decoder.get(), events[0].event);
    EXPECT_EQ(decode(decoder.get(), events[1].event), (std::vector<uint8_t>{0x90, 0x3E, 0x00}));
}

TEST(MIDIEventCoder, ASysExLongerThanTheBufferComesInBufferSizedPiecesInOrder) {
    Coder encoder = newCoder(256);
    std::vector<uint8_t> sysex{0xF0};
    for (int i = 0; i < 600; ++i) sysex.push_back(static_cast<uint8_t>(i & 0x7F));
    sysex.push_back(0xF7);
    auto events = encode(encoder.get(), sysex);
    ASSERT_EQ(events.size(), 3u);
    std::vector<uint8_t> joined;
    for (auto& e : events) {
        EXPECT_EQ(e.type, SND_SEQ_EVENT_SYSEX);
        EXPECT_LE(e.data.size(), 256u);
        joined.insert(joined.end(), e.data.begin(), e.data.end());
    }
    EXPECT_EQ(events[0].data.front(), 0xF0);
    EXPECT_EQ(events[2].data.back(), 0xF7);
    EXPECT_EQ(joined, sysex);
}

TEST(MIDIEventCoder, ARealTimeByteInsideASysExIsItsOwnEventAndTheSysExGoesOn) {
    Coder encoder = newCoder(256);
    auto events = encode(encoder.get(), {0xF0, 0x41, 0xF8, 0x42, 0xF7});
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, SND_SEQ_EVENT_CLOCK);
    EXPECT_EQ(events[1].type, SND_SEQ_EVENT_SYSEX);
    EXPECT_EQ(events[1].data, (std::vector<uint8_t>{0xF0, 0x41, 0x42, 0xF7}));
}

TEST(MIDIEventCoder, AResetDropsAnUnfinishedSysEx) {
    Coder encoder = newCoder(256);
    EXPECT_TRUE(encode(encoder.get(), {0xF0, 0x41, 0x01}).empty());
    snd_midi_event_reset_encode(encoder.get());
    EXPECT_TRUE(encode(encoder.get(), {0x02, 0xF7}).empty());
    auto events = encode(encoder.get(), {0x90, 0x3C, 0x64});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, SND_SEQ_EVENT_NOTEON);
}

TEST(MIDIEventCoder, WithoutAResetAnUnfinishedSysExContinues) {
    // Why the service resets a destination's coder when its port goes.
    Coder encoder = newCoder(256);
    EXPECT_TRUE(encode(encoder.get(), {0xF0, 0x41, 0x01}).empty());
    auto events = encode(encoder.get(), {0x02, 0xF7});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].data, (std::vector<uint8_t>{0xF0, 0x41, 0x01, 0x02, 0xF7}));
}

TEST(MIDIEventCoder, AChannelStatusInsideASysExEndsIt) {
    Coder encoder = newCoder(256);
    auto events = encode(encoder.get(), {0xF0, 0x41, 0x90, 0x3C, 0x64});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, SND_SEQ_EVENT_NOTEON);
}

}  // namespace
