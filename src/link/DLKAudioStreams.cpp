#include "link/DLKAudioStreams.h"

#include <cstring>

#include "link/DLKConnection.h"

namespace lumetta::link {

namespace {

void sendControl(DLKConnection& connection, uint8_t sub) {
    DLKControlFrame frame(kDLKFrameAudio, sub);
    connection.writeToServer(frame.data(), frame.size);
}

void sendPort(DLKConnection& connection, uint8_t sub, uint16_t port) {
    DLKControlFrame frame(kDLKFrameAudio, sub);
    frame.u16(port);
    connection.writeToServer(frame.data(), frame.size);
}

void sendVolume(DLKConnection& connection, uint8_t sub, float volume) {
    if (!(volume >= 0.0f && volume <= 1.0f)) return;  // also refuses NaN
    DLKControlFrame frame(kDLKFrameAudio, sub);
    frame.u8(static_cast<uint8_t>(volume * 127.0f));
    connection.writeToServer(frame.data(), frame.size);
}

}  // namespace

// ---- shared
// --------------------------------------------------------------------------------------

namespace {

constexpr bool isOutput(DLKAudioDirection direction) {
    return direction == DLKAudioDirection::output;
}

}  // namespace

template <DLKAudioDirection Direction>
DLKAudioStream<Direction>::DLKAudioStream(DLKConnection& connection) : connection_(connection) {
    server_.setDelegate(this);
}

template <DLKAudioDirection Direction>
void DLKAudioStream<Direction>::ASBD(audio::AudioStreamDescription& description) const {
    description = audio::clientStreamDescription();
}

template <DLKAudioDirection Direction>
void DLKAudioStream<Direction>::start(const std::string&) {
    sendPort(connection_, isOutput(Direction) ? kDLKStartOutput : kDLKStartInput, server_.portNo());
}

template <DLKAudioDirection Direction>
void DLKAudioStream<Direction>::pause() {
    sendControl(connection_, isOutput(Direction) ? kDLKPauseOutput : kDLKPauseInput);
}

template <DLKAudioDirection Direction>
float DLKAudioStream<Direction>::volume() const {
    const KNP_AUDIO_STATUS& status = connection_.audioStatus();
    return static_cast<float>(isOutput(Direction) ? status.output.volume : status.input.volume) /
           127.0f;
}

template <DLKAudioDirection Direction>
void DLKAudioStream<Direction>::setVolume(float volume) {
    sendVolume(connection_, isOutput(Direction) ? kDLKOutputVolume : kDLKInputVolume, volume);
}

template <DLKAudioDirection Direction>
float DLKAudioStream<Direction>::peakPowerForChannel(unsigned channel) const {
    if (channel > 1) return 0.0f;
    return isOutput(Direction) ? connection_.outputLevel(channel) : connection_.inputLevel(channel);
}

template <DLKAudioDirection Direction>
double DLKAudioStream<Direction>::currentTime() const {
    const KNP_AUDIO_STATUS& status = connection_.audioStatus();
    return (isOutput(Direction) ? status.output.frame : status.input.frame) / 44100.0;
}

template <DLKAudioDirection Direction>
int DLKAudioStream<Direction>::status() const {
    if (!server_.hasConnection()) return 0;
    const KNP_AUDIO_STATUS& status = connection_.audioStatus();
    return isOutput(Direction) ? status.output.status : status.input.status;
}

template class DLKAudioStream<DLKAudioDirection::output>;
template class DLKAudioStream<DLKAudioDirection::input>;

// ---- output
// --------------------------------------------------------------------------------------

DLKAudioOutputStream::DLKAudioOutputStream(DLKConnection& connection) : DLKAudioStream(connection) {
    server_.setWantsSpace(true);
}

void DLKAudioOutputStream::stop() {
    sendControl(connection_, kDLKStopOutput);
    server_.stopConnection();
    length_ = offset_ = 0;
}

void DLKAudioOutputStream::streamEventOpenCompleted(DLKNetServer&) {
    length_ = offset_ = 0;
}

void DLKAudioOutputStream::streamHasBytesAvailable(DLKNetServer& server) {
    uint8_t discard;
    server.read(&discard, 1);
}

void DLKAudioOutputStream::streamHasSpaceAvailable(DLKNetServer& server) {
    if (length_ == 0) {
        offset_ = 0;
        int64_t filled = delegate_ ? delegate_->outputStream(*this, buffer_.data(),
                                                             static_cast<int64_t>(buffer_.size()))
                                   : 0;
        // The delegate may have stopped us from inside its pull.
        if (!server.hasConnection()) return;
        length_ = std::clamp<int64_t>(filled, 0, static_cast<int64_t>(buffer_.size()));
    }
    ssize_t written = server.write(buffer_.data() + offset_, static_cast<size_t>(length_));
    if (written == DLKNetServer::kWouldBlock) return;
    if (written <= 0) {
        // Nothing more to play (or the device went away): end the audio connection.
        server.stopConnection();
        length_ = 0;
        return;
    }
    length_ -= written;
    offset_ += written;
}

// ---- input
// ---------------------------------------------------------------------------------------

DLKAudioInputStream::DLKAudioInputStream(DLKConnection& connection) : DLKAudioStream(connection) {}

void DLKAudioInputStream::stop(bool atOnce) {
    sendControl(connection_, kDLKStopInput);
    if (atOnce) {
        server_.stopConnection();
        offset_ = 0;
    }
}

void DLKAudioInputStream::inputMode(int32_t mode) {
    DLKControlFrame frame(kDLKFrameAudio, kDLKInputMode);
    frame.u8(static_cast<uint8_t>(mode & 0xFF));
    connection_.writeToServer(frame.data(), frame.size);
}

void DLKAudioInputStream::streamEventOpenCompleted(DLKNetServer&) {
    offset_ = 0;
}

void DLKAudioInputStream::streamHasBytesAvailable(DLKNetServer& server) {
    ssize_t n =
        server.read(buffer_.data() + offset_, buffer_.size() - static_cast<size_t>(offset_));
    if (n == DLKNetServer::kWouldBlock) return;
    if (n <= 0) {
        server.stopConnection();
        offset_ = 0;
        if (delegate_) delegate_->inputStreamDidClosed(*this);
        return;
    }
    int64_t total = offset_ + n;
    int64_t whole = total & ~int64_t{3};
    if (whole > 0 && delegate_) delegate_->inputStream(*this, buffer_.data(), whole);
    offset_ = total - whole;
    if (offset_ > 0) std::memmove(buffer_.data(), buffer_.data() + whole, size_t(offset_));
}

}  // namespace lumetta::link
