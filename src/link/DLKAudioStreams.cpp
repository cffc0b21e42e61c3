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

// ---- output
// --------------------------------------------------------------------------------------

DLKAudioOutputStream::DLKAudioOutputStream(DLKConnection& connection) : connection_(connection) {
    server_.setDelegate(this);
    server_.setWantsSpace(true);
}

void DLKAudioOutputStream::ASBD(audio::AudioStreamDescription& description) const {
    description = audio::clientStreamDescription();
}

void DLKAudioOutputStream::start(const std::string&) {
    sendPort(connection_, kDLKStartOutput, server_.portNo());
}

void DLKAudioOutputStream::pause() {
    sendControl(connection_, kDLKPauseOutput);
}

void DLKAudioOutputStream::stop() {
    sendControl(connection_, kDLKStopOutput);
    server_.stopConnection();
    length_ = offset_ = 0;
}

float DLKAudioOutputStream::volume() const {
    return static_cast<float>(connection_.audioStatus().output.volume) / 127.0f;
}

void DLKAudioOutputStream::setVolume(float volume) {
    sendVolume(connection_, kDLKOutputVolume, volume);
}

float DLKAudioOutputStream::peakPowerForChannel(unsigned channel) const {
    return channel > 1 ? 0.0f : connection_.outputLevel(channel);
}

double DLKAudioOutputStream::currentTime() const {
    return connection_.audioStatus().output.frame / 44100.0;
}

int DLKAudioOutputStream::status() const {
    return server_.hasConnection() ? connection_.audioStatus().output.status : 0;
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

DLKAudioInputStream::DLKAudioInputStream(DLKConnection& connection) : connection_(connection) {
    server_.setDelegate(this);
}

void DLKAudioInputStream::ASBD(audio::AudioStreamDescription& description) const {
    description = audio::clientStreamDescription();
}

void DLKAudioInputStream::start(const std::string&) {
    sendPort(connection_, kDLKStartInput, server_.portNo());
}

void DLKAudioInputStream::pause() {
    sendControl(connection_, kDLKPauseInput);
}

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

float DLKAudioInputStream::volume() const {
    return static_cast<float>(connection_.audioStatus().input.volume) / 127.0f;
}

void DLKAudioInputStream::setVolume(float volume) {
    sendVolume(connection_, kDLKInputVolume, volume);
}

float DLKAudioInputStream::peakPowerForChannel(unsigned channel) const {
    return channel > 1 ? 0.0f : connection_.inputLevel(channel);
}

double DLKAudioInputStream::currentTime() const {
    return connection_.audioStatus().input.frame / 44100.0;
}

int DLKAudioInputStream::status() const {
    return server_.hasConnection() ? connection_.audioStatus().input.status : 0;
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
