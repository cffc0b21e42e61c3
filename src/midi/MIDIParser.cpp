#include "midi/MIDIParser.h"

#include "midi/MIDIInputPort.h"
#include "midi/Timestamp.h"

namespace lumetta::midi {

namespace {

// Data bytes that follow a channel status.
uint8_t channelDataCount(uint8_t status) {
    return (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 1 : 2;
}

}  // namespace

void MIDIParser::reset() {
    running_ = 0;
    sysex_len_ = 0;
    have_ = 0;
    need_ = 0;
}

void MIDIParser::parse(const MIDIPacket& packet, MIDIInputPort& port) {
    parse(packet, port.delegate());
}

void MIDIParser::parse(const MIDIPacket& packet, MIDIInputDelegate* delegate) {
    if (resetRequested_.load(std::memory_order_relaxed) &&
        resetRequested_.exchange(false, std::memory_order_acquire))
        reset();
    if (packet.length == 0 || packet.data == nullptr) return;
    const auto timeStamp = static_cast<uint32_t>(host_timestamp_to_millis(packet.timeStamp));
    for (uint16_t i = 0; i < packet.length; ++i) byte(packet.data[i], timeStamp, delegate);
}

void MIDIParser::deliver(const uint8_t* bytes, int32_t size, uint32_t timeStamp,
                         MIDIInputDelegate* delegate) {
    if (delegate) delegate->midiInputMessage(bytes, size, timeStamp);
}

void MIDIParser::byte(uint8_t b, uint32_t timeStamp, MIDIInputDelegate* delegate) {
    if (b >= 0xF8) {
        // Real-time: on its own, wherever it falls; whatever is pending stays pending.
        if (b == 0xFA || b == 0xFB || b == 0xFC || b == 0xFF) deliver(&b, 1, timeStamp, delegate);
        return;
    }
    if (b >= 0x80) {
        // Any other status ends a message that is still waiting for data bytes.
        need_ = 0;
        have_ = 0;
        if (b < 0xF0) {
            running_ = b;
            message_[0] = b;
            need_ = channelDataCount(b);
            return;
        }
        switch (b) {
            case 0xF0:
                running_ = 1;
                sysex_len_ = 1;
                sysex_buf_[0] = 0xF0;
                return;
            case 0xF1:
            case 0xF3:
                message_[0] = b;
                need_ = 1;
                return;
            case 0xF2:
                message_[0] = b;
                need_ = 2;
                return;
            case 0xF6:
                deliver(&b, 1, timeStamp, delegate);
                return;
            case 0xF7:
                running_ = 0;
                if (sysex_len_ > 0) {
                    sysex_buf_[static_cast<size_t>(sysex_len_)] = 0xF7;
                    deliver(sysex_buf_.data(), sysex_len_ + 1, timeStamp, delegate);
                    sysex_len_ = 0;
                }
                return;
            default:  // 0xF4, 0xF5: undefined
                return;
        }
    }
    // A data byte.
    if (need_ == 0 && running_ >= 0x80) {
        message_[0] = running_;
        need_ = channelDataCount(running_);
        have_ = 0;
    }
    if (need_ > 0) {
        message_[static_cast<size_t>(1 + have_)] = b;
        ++have_;
        if (have_ == need_) {
            // Copied so the delegate sees the bytes on this call's stack, as a local buffer.
            std::array<uint8_t, 3> message = message_;
            const int32_t size = 1 + need_;
            need_ = 0;
            have_ = 0;
            deliver(message.data(), size, timeStamp, delegate);
        }
        return;
    }
    if (running_ == 1 && sysex_len_ > 0 && sysex_len_ <= kSysExCapacity - 2) {
        sysex_buf_[static_cast<size_t>(sysex_len_)] = b;
        ++sysex_len_;
    }
}

}  // namespace lumetta::midi
