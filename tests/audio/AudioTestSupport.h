#pragma once

// Shared pieces of the audio tests: WAV files made on the spot, signal measurements, a private
// folder, and doubles for the platform queues.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "audio/AudioPlatform.h"

namespace lumetta::test {

/// A folder of its own under the system's temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

/// Writes a 16-bit PCM WAV file; `sample(frame, channel)` gives each value.
void writeWav16(const std::string& path, int rate, int channels, int64_t frames,
                const std::function<int16_t(int64_t, int)>& sample);

/// A sine of `frequency` Hz at `amplitude` (0-1 of full scale) for `seconds`, stereo.
void writeToneWav(const std::string& path, int rate, double frequency, double amplitude,
                  double seconds);

/// Decoded samples of a file (through FFmpeg), interleaved 16-bit at the file's own rate.
struct Decoded {
    int rate = 0;
    int channels = 0;
    std::string codec;
    int64_t bitRate = 0;
    std::vector<int16_t> samples;
    int64_t frames() const {
        return channels ? static_cast<int64_t>(samples.size()) / channels : 0;
    }
};
/// Decodes the whole file; `ok` false when FFmpeg cannot.
Decoded decodeFile(const std::string& path, bool& ok);

/// Root mean square of one channel of interleaved samples over frames [from, to), full scale 1.
double rms(const std::vector<int16_t>& samples, int channels, int channel, int64_t from,
           int64_t to);
/// The median over 10 ms blocks of the root mean square of one channel over [from, to): a level
/// that a short dropout on a loaded machine does not move.
double medianBlockRms(const std::vector<int16_t>& samples, int channels, int channel, int64_t from,
                      int64_t to);
/// The frequency of a sine in one channel over frames [from, to), from the median distance of
/// its rising zero crossings (so splices and short dropouts do not move it).
double zeroCrossingFrequency(const std::vector<int16_t>& samples, int channels, int channel,
                             int64_t from, int64_t to, int rate);
/// Frames whose absolute value in channel 0 reaches `threshold` (of full scale), counted in
/// blocks of 441 frames (10 ms): the length of the audible part, in frames.
int64_t audibleFrames(const std::vector<int16_t>& samples, int channels, double threshold);

/// An output queue double: it keeps what is queued; the test consumes buffers and fails it.
class FakeQueueFactory final : public audio::AudioQueueFactory {
  public:
    struct State {
        std::mutex lock;
        int outputsMade = 0;
        int inputsMade = 0;
        bool refuse = false;  // the platform has no such device
        std::string lastUid;
        std::vector<std::vector<uint8_t>> queued;
        bool running = false;
        bool stopped = false;
        float volume = -1.0f;
        float rate = -1.0f;
        audio::OutputQueueCallbacks output;
        audio::InputQueueCallbacks input;
    };

    explicit FakeQueueFactory(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::unique_ptr<audio::OutputQueue> makeOutputQueue(
        const audio::AudioStreamDescription&, const std::string& uid, size_t,
        audio::OutputQueueCallbacks callbacks) override;
    std::unique_ptr<audio::InputQueue> makeInputQueue(
        const audio::AudioStreamDescription&, const std::string& uid, size_t,
        audio::InputQueueCallbacks callbacks) override;

    /// Plays the oldest queued buffer to its end, as the platform's thread would.
    static bool consumeOne(State& state);

  private:
    std::shared_ptr<State> state_;
};

}  // namespace lumetta::test
