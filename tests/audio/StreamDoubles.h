#pragma once

// Output and input stream doubles that the test drives by hand, standing for the local queues
// or the device link's streams.

#include <string>
#include <vector>

#include "audio/AudioStreams.h"

namespace lumetta::test {

// What both doubles do alike: the client format, two channels, and a record of starts, stops
// and the state they were left in.
template <class Stream, class Delegate>
class FakeStream : public Stream {
  public:
    void ASBD(audio::AudioStreamDescription& d) const override {
        d = audio::clientStreamDescription();
    }
    void setDelegate(Delegate* d) override { delegate = d; }
    void start(const std::string& uid) override {
        ++starts;
        lastUid = uid;
        state = 1;
    }
    void pause() override { state = 2; }
    unsigned numberOfChannels() const override { return 2; }
    int status() const override { return state; }

    Delegate* delegate = nullptr;
    int starts = 0;
    int stops = 0;
    int state = 0;
    std::string lastUid;
};

class FakeOutputStream final
    : public FakeStream<audio::AudioOutputStream, audio::AudioOutputStreamDelegate> {
  public:
    void stop() override {
        ++stops;
        state = 0;
    }
    float volume() const override { return volume_; }
    float speed() const override { return speed_; }
    void setVolume(float v) override { volume_ = v; }
    void setSpeed(float s) override { speed_ = s; }
    float peakPowerForChannel(unsigned) const override { return -7.0f; }
    double currentTime() const override { return 0.0; }

    /// One pull of `bytes` as the output's thread would make it.
    std::vector<int16_t> pull(int64_t bytes = 8192) {
        std::vector<int16_t> out(static_cast<size_t>(bytes / 2));
        int64_t n =
            delegate ? delegate->outputStream(*this, reinterpret_cast<uint8_t*>(out.data()), bytes)
                     : 0;
        out.resize(static_cast<size_t>(n / 2));
        return out;
    }

  private:
    float volume_ = 1.0f;
    float speed_ = 1.0f;
};

class FakeInputStream final
    : public FakeStream<audio::AudioInputStream, audio::AudioInputStreamDelegate> {
  public:
    void stop(bool atOnce) override {
        ++stops;
        state = 0;
        if (!atOnce && delegate) delegate->inputStreamDidClosed(*this);
    }
    float volume() const override { return volume_; }
    void setVolume(float v) override { volume_ = v; }
    float peakPowerForChannel(unsigned) const override { return -9.0f; }
    double currentTime() const override { return 1.5; }

    /// Delivers samples as the input's thread would.
    void push(std::vector<int16_t> samples) {
        if (delegate)
            delegate->inputStream(*this, reinterpret_cast<const uint8_t*>(samples.data()),
                                  static_cast<int64_t>(samples.size() * 2));
    }

  private:
    float volume_ = 1.0f;
};

}  // namespace lumetta::test
