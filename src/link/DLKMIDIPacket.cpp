#include "link/DLKMIDIPacket.h"

#include <cstring>

#include "link/DLKFrame.h"

namespace lumetta::link {

namespace {

// Code index number and message size for a first byte that is not SysEx; {0, 0} when the
// byte starts no message the link carries.
struct Kind {
    uint8_t code;
    size_t size;
};

Kind kindOf(uint8_t status) {
    if (status >= 0x80 && status <= 0xEF) {
        uint8_t code = status >> 4;
        return {code, (code == 0xC || code == 0xD) ? size_t{2} : size_t{3}};
    }
    switch (status) {
        case 0xF1:
        case 0xF3:
            return {2, 2};
        case 0xF2:
            return {3, 3};
        case 0xF6:
            return {5, 1};
        case 0xF8:
        case 0xFA:
        case 0xFB:
        case 0xFC:
        case 0xFE:
        case 0xFF:
            return {15, 1};
        default:
            return {0, 0};
    }
}

// Size of the message a received packet's first byte starts, 0 for SysEx and anything else
// that the code index decides.
size_t receivedSize(uint8_t first) {
    if ((first >= 0x80 && first <= 0xBF) || (first >= 0xE0 && first <= 0xEF)) return 3;
    if (first >= 0xC0 && first <= 0xDF) return 2;
    switch (first) {
        case 0xF1:
        case 0xF3:
            return 2;
        case 0xF2:
            return 3;
        case 0xF6:
        case 0xF8:
        case 0xFA:
        case 0xFB:
        case 0xFC:
        case 0xFE:
        case 0xFF:
            return 1;
        default:
            return 0;
    }
}

}  // namespace

void DLKMIDIEncoder::begin(uint32_t timeStamp) {
    buffer_[0] = kDLKFrameMIDI;
    buffer_[1] = 0;
    putBE32(&buffer_[4], timeStamp);
    fill_ = 8;
}

void DLKMIDIEncoder::addPacket(uint8_t header, const uint8_t* bytes, size_t count) {
    uint8_t* p = &buffer_[fill_];
    p[0] = header;
    p[1] = p[2] = p[3] = 0;
    std::memcpy(p + 1, bytes, count);
    fill_ += 4;
}

void DLKMIDIEncoder::flush(DLKFrameSink& sink) {
    putBE16(&buffer_[2], static_cast<uint16_t>(fill_ - kDLKFrameHeaderSize));
    sink.writeFrame(buffer_.data(), fill_);
}

int DLKMIDIEncoder::encode(const uint8_t* bytes, int32_t size, int cable, uint32_t timeStamp,
                           DLKFrameSink& sink) {
    if (!bytes || size < 1) return 0;
    const uint8_t cableBits = static_cast<uint8_t>((cable & 15) << 4);
    begin(timeStamp);
    if (bytes[0] != 0xF0) {
        Kind kind = kindOf(bytes[0]);
        if (kind.code != 0)
            addPacket(cableBits | kind.code, bytes, std::min(kind.size, static_cast<size_t>(size)));
        flush(sink);
        return 1;
    }
    int frames = 0;
    size_t remaining = static_cast<size_t>(size);
    const uint8_t* p = bytes;
    while (remaining > 0) {
        if (fill_ == kDLKMIDIFrameSize) {
            flush(sink);
            ++frames;
            begin(timeStamp);
        }
        if (remaining > 3) {
            addPacket(cableBits | 4, p, 3);
            p += 3, remaining -= 3;
        } else {
            addPacket(static_cast<uint8_t>(cableBits | (4 + remaining)), p, remaining);
            remaining = 0;
        }
    }
    flush(sink);
    return frames + 1;
}

void DLKMIDIParser::reset() {
    for (auto& c : cables_) c.size = 0, c.overflowed = false;
}

void DLKMIDIParser::append(Cable& cable, const uint8_t* bytes, size_t count) {
    if (cable.overflowed) return;
    if (cable.size + count > cable.data.size()) {
        cable.overflowed = true;
        return;
    }
    std::memcpy(cable.data.data() + cable.size, bytes, count);
    cable.size += count;
}

void DLKMIDIParser::parse(const uint8_t* payload, size_t length, DLKMIDIMessageHandler& handler) {
    if (length < 8) return;
    const uint32_t timeStamp = getBE32(payload);
    for (size_t at = 4; at + 4 <= length; at += 4) {
        const uint8_t* packet = payload + at;
        const int32_t cableNo = packet[0] >> 4;
        const uint8_t code = packet[0] & 15;
        if (size_t size = receivedSize(packet[1])) {
            handler.midiInputMessage(packet + 1, static_cast<int32_t>(size), timeStamp, cableNo);
            continue;
        }
        Cable& cable = cables_[static_cast<size_t>(cableNo)];
        if (code == 4) {
            append(cable, packet + 1, 3);
        } else if (code >= 5 && code <= 7) {
            append(cable, packet + 1, code - 4u);
            // A message that outgrew its buffer is dropped whole rather than cut short.
            if (!cable.overflowed)
                handler.midiInputMessage(cable.data.data(), static_cast<int32_t>(cable.size),
                                         timeStamp, cableNo);
            cable.size = 0;
            cable.overflowed = false;
        }
    }
}

}  // namespace lumetta::link
