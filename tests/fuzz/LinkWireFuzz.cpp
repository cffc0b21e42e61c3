// The device link's wire formats on arbitrary bytes from a device: the frame reader cut into any
// pieces, the MIDI packets of every frame, the status record, the discovery announcement and the
// device description. Nothing may read past its input, a frame is never longer than the link
// allows, a message is never longer than its buffer, and a description that parses survives a
// round trip and gives a dictionary that serialises.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "FuzzInput.h"
#include "link/DLKDescription.h"
#include "link/DLKFrame.h"
#include "link/DLKMIDIPacket.h"

using namespace lumetta::link;

namespace {

struct Messages final : DLKMIDIMessageHandler {
    void midiInputMessage(const uint8_t* bytes, int32_t size, uint32_t, int32_t cable) override {
        FUZZ_CHECK(size >= 1 && static_cast<size_t>(size) <= kDLKSysExSize);
        FUZZ_CHECK(cable >= 0 && cable < kDLKCables);
        FUZZ_CHECK(bytes != nullptr);
    }
};

struct Frames final : DLKFrameReader::Handler {
    DLKMIDIParser midi;
    Messages messages;
    bool frameReceived(uint8_t type, uint8_t, const uint8_t* payload, size_t length) override {
        FUZZ_CHECK(length <= kDLKMaxFramePayload);
        if (type == kDLKFrameMIDI) midi.parse(payload, length, messages);
        if (type == kDLKFrameStatus && length == 32) (void)KNP_AUDIO_STATUS::fromBytes(payload);
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    lumetta::fuzz::FuzzInput input(data, size);
    const uint8_t mode = input.byte();
    const uint8_t cut = static_cast<uint8_t>(input.byte() | 1);
    std::string_view rest = input.rest();
    const auto* bytes = reinterpret_cast<const uint8_t*>(rest.data());

    if (mode & 1) {
        (void)parseAnnouncement(bytes, rest.size());
        if (auto d = parseDescription(bytes, rest.size(), 0x0A630002)) {
            FUZZ_CHECK(rest.size() == kDLKDescriptionSize);
            const std::string text = deviceDictionary(*d, 0x0A630002).dump();
            FUZZ_CHECK(!text.empty());
            const auto again = d->toBytes();
            auto d2 = parseDescription(again.data(), again.size(), 0x0A630002);
            FUZZ_CHECK(d2 && d2->portNo == d->portNo && d2->number == d->number);
            FUZZ_CHECK(deviceDictionary(*d2, 0x0A630002).dump() == text);
        }
        return 0;
    }

    // The same stream fed whole and in pieces of `cut` bytes hands over the same frames.
    Frames frames;
    DLKFrameReader reader;
    size_t at = 0;
    while (at < rest.size()) {
        const size_t n = std::min<size_t>(cut, rest.size() - at);
        if (reader.feed(bytes + at, n, frames) != DLKFrameReader::Outcome::ok) break;
        at += n;
    }
    return 0;
}
