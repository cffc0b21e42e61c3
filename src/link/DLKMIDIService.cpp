#include "link/DLKMIDIService.h"

#include "link/DLKConnection.h"
#include "link/DLKFrame.h"
#include "midi/Timestamp.h"

namespace lumetta::link {

namespace {

class ConnectionSink final : public DLKFrameSink {
  public:
    explicit ConnectionSink(DLKConnection& connection) : connection_(connection) {}
    void writeFrame(const uint8_t* frame, size_t size) override {
        connection_.writeToServer(frame, size);
    }

  private:
    DLKConnection& connection_;
};

}  // namespace

void DLKMIDIService::send(const uint8_t* bytes, int32_t size, int cable) {
    uint32_t timeStamp = 0;
    if (streaming_) {
        timeStamp = static_cast<uint32_t>(midi::current_millis_timestamp());
        if (timeStamp == 0) timeStamp = 1;
    }
    ConnectionSink sink(connection_);
    encoder_.encode(bytes, size, cable, timeStamp, sink);
}

void DLKMIDIService::parse(const uint8_t* payload, size_t length) {
    if (!delegate_) return;
    parser_.parse(payload, length, *this);
}

void DLKMIDIService::midiInputMessage(const uint8_t* bytes, int32_t size, uint32_t timeStamp,
                                      int32_t cable) {
    if (delegate_) delegate_->midiInputMessage(bytes, size, timeStamp, cable);
}

void DLKMIDIService::setStreamingDelayTime(double seconds) {
    streamingDelayTime_ = seconds;
    double ms = seconds * 1000.0;
    uint32_t value = ms <= 0 ? 0 : ms >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(ms);
    DLKControlFrame frame(kDLKFrameStreamingDelay, 0);
    frame.u32(value);
    connection_.writeToServer(frame.data(), frame.size);
}

}  // namespace lumetta::link
