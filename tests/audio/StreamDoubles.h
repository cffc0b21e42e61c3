#pragma once

// Output and input stream doubles that the test drives by hand, standing for the local queues
// or the device link's streams.

#include <vector>

#include "audio/AudioStreams.h"

namespace lumetta::test {

class FakeOutputStream final : public audio::AudioOutputStream {
  public:
    void ASBD(audio::AudioStreamDescription& d) const override {
        d = audio::clientStreamDescription();
    }
    void setDelegate(audio::AudioOutputStreamDelegate* d) override { delegate = d; }
    void start(const std::string& uid) override {
        ++starts;
        lastUid = uid;
        state = 1;
    }
    void pause() override { state = 2; }
    void stop() override {
        ++stops;
        state = 0;
    }
    float volume() const override { return volume_; }
    float speed() const override { return speed_; }
    void setVolume(float v) override { volume_ = v; }
    void setSpeed(float s) override { speed_ = s; }
    unsigned numberOfChannels() const override { return 2; }
    float peakPowerForChannel(unsigned) const override { return -7.0f; }
    double currentTime() const override { return 0.0; }
    int status() const override { return state; }

    /// One pull of `bytes` as the output's thread would make it.
    std::vector<int16_t> pull(int64_t bytes = 8192) {
        std::vector<int16_t> out(static_cast<size_t>(bytes / 2));
        int64_t n =
            delegate ? delegate->outputStream(*this, reinterpret_cast<uint8_t*>(out.data()), bytes)
                     : 0;
        out.resize(static_cast<size_t>(n / 2));
        return out;
    }

    audio::AudioOutputStreamDelegate* delegate = nullptr;
    int starts = 0;
    int stops = 0;
    int state = 0;
    std::string lastUid;

  private:
    float volume_ = 1.0f;
    float speed_ = 1.0f;
};

class FakeInputStream final : public audio::AudioInputStream {
  public:
    void ASBD(audio::AudioStreamDescription& d) const override {
        d = audio::clientStreamDescription();
    }
    void setDelegate(audio::AudioInputStreamDelegate* d) override { delegate = d; }
    void start(const std::string& uid) override {
        ++starts;
        lastUid = uid;
        state = 1;
    }
    void pause() override { state = 2; }
    void stop(bool atOnce) override {
        ++stops;
        state = 0;
        if (!atOnce && delegate) delegate->inputStreamDidClosed(*this);
    }
    float volume() const override { return volume_; }
    void setVolume(float v) override { volume_ = v; }
    unsigned numberOfChannels() const override { return 2; }
    float peakPowerForChannel(unsigned) const override { return -9.0f; }
    double currentTime() const override { return 1.5; }
    int status() const override { return state; }

    /// Delivers samples as the input's thread would.
    void push(std::vector<int16_t> samples) {
        if (delegate)
            delegate->inputStream(*this, reinterpret_cast<const uint8_t*>(samples.data()),
                                  static_cast<int64_t>(samples.size() * 2));
    }

    audio::AudioInputStreamDelegate* delegate = nullptr;
    int starts = 0;
    int stops = 0;
    int state = 0;
    std::string lastUid;

  private:
    float volume_ = 1.0f;
};

}  // namespace lumetta::test
