#include "link/DLKConnection.h"

#include <syslog.h>

#include "link/DLKAudioStreams.h"
#include "link/DLKDescription.h"
#include "link/DLKMIDIService.h"

namespace lumetta::link {

DLKConnection::DLKConnection()
    : midiService_(std::make_unique<DLKMIDIService>(*this)),
      outputStream_(std::make_unique<DLKAudioOutputStream>(*this)),
      inputStream_(std::make_unique<DLKAudioInputStream>(*this)) {
    client_.setDelegate(this);
    resetAllParameters();
}

DLKConnection::~DLKConnection() {
    disconnect();
}

void DLKConnection::resetAllParameters() {
    timeStamp_.fill(0);
    audioStatus_ = KNP_AUDIO_STATUS{};
    peakPower_.fill(-120.0f);
    reader_.reset();
    midiService_->reset();
}

void DLKConnection::connect(const nlohmann::json& device) {
    disconnect();
    if (!device.is_object()) {
        if (delegate_) delegate_->connectionFailed(nlohmann::json());
        return;
    }
    device_ = device;
    inputStream_->startServer();
    outputStream_->startServer();
    std::string host;
    uint16_t port = 0;
    if (auto a = device.find(kDLKDeviceAddressKey); a != device.end() && a->is_string())
        host = a->get<std::string>();
    if (auto p = device.find(kDLKDevicePortNoKey); p != device.end() && p->is_number()) {
        double value = p->get<double>();
        if (value >= 1 && value <= 65535) port = static_cast<uint16_t>(value);
    }
    // A bad address or port fails through the client, as an error from the main loop.
    client_.connectToServer(host, port);
}

void DLKConnection::disconnect() {
    client_.stopConnection();
    inputStream_->stopServer();
    outputStream_->stopServer();
    device_.reset();
    resetAllParameters();
}

void DLKConnection::setKeepAliveTimeout(int32_t seconds) {
    client_.setKeepAliveTimeout(seconds);
    DLKControlFrame frame(kDLKFrameControl, 1);
    frame.u8(static_cast<uint8_t>(seconds & 0xFF));
    writeToServer(frame.data(), frame.size);
}

int64_t DLKConnection::writeToServer(const uint8_t* frame, size_t size) {
    return client_.write(frame, size);
}

float DLKConnection::outputLevel(unsigned channel) {
    float& held = peakPower_[channel == 0 ? 0 : 1];
    float level = held;
    held = channel == 0 ? audioStatus_.output.peakPowerL : audioStatus_.output.peakPowerR;
    return level;
}

float DLKConnection::inputLevel(unsigned channel) {
    float& held = peakPower_[channel == 0 ? 2 : 3];
    float level = held;
    held = channel == 0 ? audioStatus_.input.peakPowerL : audioStatus_.input.peakPowerR;
    return level;
}

void DLKConnection::updateMeters() {
    const float current[4] = {
        float(audioStatus_.output.peakPowerL), float(audioStatus_.output.peakPowerR),
        float(audioStatus_.input.peakPowerL), float(audioStatus_.input.peakPowerR)};
    for (size_t i = 0; i < 4; ++i)
        if (current[i] > peakPower_[i]) peakPower_[i] = current[i];
}

void DLKConnection::protocolError(const char* what) {
    syslog(LOG_WARNING, "DLKConnection: %s; closing the connection", what);
    client_.stopConnection();
    reader_.reset();
    if (delegate_) delegate_->connectionErrorDidOccur(deviceOrNull());
}

void DLKConnection::streamOpenCompleted() {
    reader_.reset();
    if (delegate_) delegate_->connectionDidEstablished(deviceOrNull());
}

void DLKConnection::streamOpenFailed() {
    if (delegate_) delegate_->connectionFailed(deviceOrNull());
}

void DLKConnection::streamErrorOccurred() {
    reader_.reset();
    if (delegate_) delegate_->connectionErrorDidOccur(deviceOrNull());
}

void DLKConnection::streamEndEncountered() {
    // A close in the middle of a frame loses data: that is an error, not an orderly close.
    bool broken = reader_.midFrame();
    reader_.reset();
    if (!delegate_) return;
    if (broken)
        delegate_->connectionErrorDidOccur(deviceOrNull());
    else
        delegate_->connectionDidClosed(deviceOrNull());
}

void DLKConnection::streamHasBytesAvailable(const uint8_t* bytes, size_t size) {
    switch (reader_.feed(bytes, size, *this)) {
        case DLKFrameReader::Outcome::ok:
            return;
        case DLKFrameReader::Outcome::badLength:
            return protocolError("a frame announced more than 32768 bytes");
        case DLKFrameReader::Outcome::handlerFailed:
            if (client_.status() != DLKNetClient::connected) return;  // ended meanwhile
            return protocolError("a status frame was not 32 bytes long");
    }
}

bool DLKConnection::frameReceived(uint8_t type, uint8_t sub, const uint8_t* payload,
                                  size_t length) {
    switch (type) {
        case kDLKFrameControl:
            if (sub == 1 && length >= 1) client_.setKeepAliveTimeout(payload[0]);
            return true;
        case kDLKFrameTimeStamp:
            if (sub <= 4 && length >= 4) timeStamp_[sub] = getBE32(payload);
            return true;
        case kDLKFrameMIDI:
            midiService_->parse(payload, length);
            // The delegate may have ended the connection meanwhile; the rest of the bytes
            // belong to it no more.
            return client_.status() == DLKNetClient::connected;
        case kDLKFrameStatus:
            if (length != KNP_AUDIO_STATUS::kWireSize) return false;
            audioStatus_ = KNP_AUDIO_STATUS::fromBytes(payload);
            updateMeters();
            return true;
        default:
            return true;
    }
}

}  // namespace lumetta::link
