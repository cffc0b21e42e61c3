// The MIDI parser on arbitrary bytes from a source: every message it delivers is well formed,
// and how the bytes were cut into packets does not change what it delivers.

#include <cstdint>
#include <vector>

#include "FuzzInput.h"
#include "midi/MIDIParser.h"

using lumetta::midi::MIDIPacket;
using lumetta::midi::MIDIParser;

namespace {

struct Recorder final : lumetta::midi::MIDIInputDelegate {
    std::vector<std::vector<uint8_t>> messages;
    void midiInputMessage(const uint8_t* bytes, int32_t size, uint32_t) override {
        FUZZ_CHECK(size >= 1);
        messages.emplace_back(bytes, bytes + size);
    }
};

size_t expectedSize(uint8_t status) {
    if (status < 0xF0) return (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 2 : 3;
    if (status == 0xF1 || status == 0xF3) return 2;
    if (status == 0xF2) return 3;
    return 1;
}

void checkWellFormed(const std::vector<uint8_t>& m) {
    const uint8_t status = m[0];
    FUZZ_CHECK(status >= 0x80);
    if (status == 0xF0) {
        FUZZ_CHECK(m.size() >= 2 && m.size() <= size_t(MIDIParser::kSysExCapacity));
        FUZZ_CHECK(m.back() == 0xF7);
        for (size_t i = 1; i + 1 < m.size(); ++i) FUZZ_CHECK(m[i] < 0x80);
        return;
    }
    FUZZ_CHECK(status != 0xF4 && status != 0xF5 && status != 0xF7 && status != 0xF8 &&
               status != 0xF9 && status != 0xFD && status != 0xFE);
    FUZZ_CHECK(m.size() == expectedSize(status));
    for (size_t i = 1; i < m.size(); ++i) FUZZ_CHECK(m[i] < 0x80);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    lumetta::fuzz::FuzzInput input(data, size);
    const uint8_t cutSeed = input.byte();
    std::string_view bytes = input.rest();
    const auto* raw = reinterpret_cast<const uint8_t*>(bytes.data());

    // Whole: one packet.
    MIDIParser whole;
    Recorder wholeOut;
    MIDIPacket packet{0, raw, static_cast<uint16_t>(bytes.size() > 0xFFFF ? 0xFFFF : bytes.size())};
    whole.parse(packet, &wholeOut);

    // Cut: packets of 1 to 16 bytes, the lengths drawn from the seed byte.
    MIDIParser cut;
    Recorder cutOut;
    uint32_t state = cutSeed | 0x100u;
    for (size_t at = 0; at < packet.length;) {
        state = state * 1103515245u + 12345u;
        size_t length = 1 + (state >> 16) % 16;
        if (length > packet.length - at) length = packet.length - at;
        cut.parse(MIDIPacket{0, raw + at, static_cast<uint16_t>(length)}, &cutOut);
        at += length;
    }

    for (const auto& m : wholeOut.messages) checkWellFormed(m);
    FUZZ_CHECK(wholeOut.messages == cutOut.messages);
    FUZZ_CHECK(whole.running() == cut.running() && whole.sysexLength() == cut.sysexLength());
    FUZZ_CHECK(whole.sysexLength() >= 0 && whole.sysexLength() < MIDIParser::kSysExCapacity);

    // A reset parser parses like a fresh one.
    whole.reset();
    Recorder again;
    MIDIParser fresh;
    Recorder freshOut;
    whole.parse(packet, &again);
    fresh.parse(packet, &freshOut);
    FUZZ_CHECK(again.messages == freshOut.messages);
    // No delegate: parsed and dropped, without touching anything.
    fresh.parse(packet, nullptr);
    return 0;
}
