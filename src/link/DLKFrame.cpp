#include "link/DLKFrame.h"

#include <algorithm>
#include <cstring>

namespace lumetta::link {

void writeFrameHeader(uint8_t* out, uint8_t type, uint8_t sub, uint16_t length) {
    out[0] = type;
    out[1] = sub;
    putBE16(out + 2, length);
}

std::vector<uint8_t> encodeFrame(uint8_t type, uint8_t sub, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame(kDLKFrameHeaderSize + payload.size());
    writeFrameHeader(frame.data(), type, sub, static_cast<uint16_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), frame.begin() + kDLKFrameHeaderSize);
    return frame;
}

DLKFrameReader::DLKFrameReader() : payload_(kDLKMaxFramePayload) {}

DLKFrameReader::Outcome DLKFrameReader::feed(const uint8_t* bytes, size_t size, Handler& handler) {
    while (size > 0) {
        if (headerFill_ < kDLKFrameHeaderSize) {
            size_t take = std::min(size, kDLKFrameHeaderSize - headerFill_);
            std::memcpy(header_.data() + headerFill_, bytes, take);
            headerFill_ += take, bytes += take, size -= take;
            if (headerFill_ < kDLKFrameHeaderSize) break;
            payloadFill_ = 0;
            if (getBE16(&header_[2]) > kDLKMaxFramePayload) return Outcome::badLength;
        }
        const size_t length = getBE16(&header_[2]);
        size_t take = std::min(size, length - payloadFill_);
        std::memcpy(payload_.data() + payloadFill_, bytes, take);
        payloadFill_ += take, bytes += take, size -= take;
        if (payloadFill_ < length) break;
        headerFill_ = 0;
        if (!handler.frameReceived(header_[0], header_[1], payload_.data(), length))
            return Outcome::handlerFailed;
    }
    return Outcome::ok;
}

KNP_AUDIO_STATUS KNP_AUDIO_STATUS::fromBytes(const uint8_t* bytes) {
    auto one = [](const uint8_t* p) {
        NET_AUDIO_STATUS s;
        s.status = p[0];
        s.volume = p[1];
        s.peakPowerL = static_cast<int8_t>(p[2]);
        s.peakPowerR = static_cast<int8_t>(p[3]);
        s.frame = getBE32(p + 4);
        return s;
    };
    return {one(bytes), one(bytes + 16)};
}

void KNP_AUDIO_STATUS::toBytes(uint8_t* out) const {
    std::memset(out, 0, kWireSize);
    auto one = [](uint8_t* p, const NET_AUDIO_STATUS& s) {
        p[0] = s.status;
        p[1] = s.volume;
        p[2] = static_cast<uint8_t>(s.peakPowerL);
        p[3] = static_cast<uint8_t>(s.peakPowerR);
        putBE32(p + 4, s.frame);
    };
    one(out, output);
    one(out + 16, input);
}

std::string hexText(const uint8_t* bytes, size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

}  // namespace lumetta::link
