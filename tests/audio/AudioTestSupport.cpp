#include "audio/AudioTestSupport.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <type_traits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

namespace lumetta::test {

TempDir::TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "lumetta-audio-XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

namespace {
void put16(std::ofstream& out, uint16_t v) {
    char b[2] = {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
    out.write(b, 2);
}
void put32(std::ofstream& out, uint32_t v) {
    put16(out, static_cast<uint16_t>(v & 0xFFFF));
    put16(out, static_cast<uint16_t>(v >> 16));
}
}  // namespace

void writeWav16(const std::string& path, int rate, int channels, int64_t frames,
                const std::function<int16_t(int64_t, int)>& sample) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    uint32_t dataBytes = static_cast<uint32_t>(frames * channels * 2);
    out.write("RIFF", 4);
    put32(out, 36 + dataBytes);
    out.write("WAVEfmt ", 8);
    put32(out, 16);
    put16(out, 1);
    put16(out, static_cast<uint16_t>(channels));
    put32(out, static_cast<uint32_t>(rate));
    put32(out, static_cast<uint32_t>(rate * channels * 2));
    put16(out, static_cast<uint16_t>(channels * 2));
    put16(out, 16);
    out.write("data", 4);
    put32(out, dataBytes);
    std::vector<int16_t> block;
    for (int64_t f = 0; f < frames; ++f)
        for (int c = 0; c < channels; ++c) put16(out, static_cast<uint16_t>(sample(f, c)));
}

void writeToneWav(const std::string& path, int rate, double frequency, double amplitude,
                  double seconds) {
    writeWav16(path, rate, 2, static_cast<int64_t>(seconds * rate), [&](int64_t f, int) {
        return static_cast<int16_t>(
            std::lround(amplitude * 32767.0 * std::sin(2.0 * M_PI * frequency * f / rate)));
    });
}

Decoded decodeFile(const std::string& path, bool& ok) {
    ok = false;
    Decoded d;
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return d;
    if (avformat_find_stream_info(fmt, nullptr) < 0) {
        avformat_close_input(&fmt);
        return d;
    }
    const AVCodec* codec = nullptr;
    int index = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (index < 0) {
        avformat_close_input(&fmt);
        return d;
    }
    AVCodecParameters* par = fmt->streams[index]->codecpar;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(ctx, par);
    avcodec_open2(ctx, codec, nullptr);
    d.rate = par->sample_rate;
    d.channels = par->ch_layout.nb_channels;
    d.codec = codec->name;
    d.bitRate = par->bit_rate;
    SwrContext* swr = nullptr;
    AVChannelLayout layout;
    av_channel_layout_default(&layout, d.channels);
    swr_alloc_set_opts2(&swr, &layout, AV_SAMPLE_FMT_S16, d.rate, &layout, ctx->sample_fmt, d.rate,
                        0, nullptr);
    swr_init(swr);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto drain = [&] {
        while (avcodec_receive_frame(ctx, frame) == 0) {
            std::vector<int16_t> out(static_cast<size_t>(frame->nb_samples + 256) * d.channels);
            uint8_t* o = reinterpret_cast<uint8_t*>(out.data());
            int n =
                swr_convert(swr, &o, frame->nb_samples + 256,
                            const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
            if (n > 0) d.samples.insert(d.samples.end(), out.begin(), out.begin() + n * d.channels);
        }
    };
    while (av_read_frame(fmt, pkt) >= 0) {
        if (pkt->stream_index == index) {
            avcodec_send_packet(ctx, pkt);
            drain();
        }
        av_packet_unref(pkt);
    }
    avcodec_send_packet(ctx, nullptr);
    drain();
    av_frame_free(&frame);
    av_packet_free(&pkt);
    swr_free(&swr);
    avcodec_free_context(&ctx);
    avformat_close_input(&fmt);
    ok = true;
    return d;
}

double rms(const std::vector<int16_t>& samples, int channels, int channel, int64_t from,
           int64_t to) {
    double sum = 0;
    int64_t n = 0;
    for (int64_t f = from; f < to && (f + 1) * channels <= static_cast<int64_t>(samples.size());
         ++f) {
        double s = samples[static_cast<size_t>(f * channels + channel)] / 32768.0;
        sum += s * s;
        ++n;
    }
    return n ? std::sqrt(sum / static_cast<double>(n)) : 0.0;
}

double medianBlockRms(const std::vector<int16_t>& samples, int channels, int channel, int64_t from,
                      int64_t to) {
    std::vector<double> levels;
    for (int64_t b = from; b + 441 <= to; b += 441)
        levels.push_back(rms(samples, channels, channel, b, b + 441));
    if (levels.empty()) return 0.0;
    std::nth_element(levels.begin(), levels.begin() + static_cast<ptrdiff_t>(levels.size() / 2),
                     levels.end());
    return levels[levels.size() / 2];
}

double zeroCrossingFrequency(const std::vector<int16_t>& samples, int channels, int channel,
                             int64_t from, int64_t to, int rate) {
    std::vector<double> periods;
    double last = -1;
    for (int64_t f = from + 1; f < to && (f + 1) * channels <= static_cast<int64_t>(samples.size());
         ++f) {
        int a = samples[static_cast<size_t>((f - 1) * channels + channel)];
        int b = samples[static_cast<size_t>(f * channels + channel)];
        if (a < 0 && b >= 0) {
            double at =
                static_cast<double>(f - 1) + static_cast<double>(-a) / static_cast<double>(b - a);
            if (last >= 0) periods.push_back(at - last);
            last = at;
        }
    }
    if (periods.empty()) return 0.0;
    std::nth_element(periods.begin(), periods.begin() + static_cast<ptrdiff_t>(periods.size() / 2),
                     periods.end());
    return rate / periods[periods.size() / 2];
}

int64_t audibleFrames(const std::vector<int16_t>& samples, int channels, double threshold) {
    const int64_t block = 441;
    int64_t frames = static_cast<int64_t>(samples.size()) / channels;
    int64_t audible = 0;
    for (int64_t b = 0; b + block <= frames; b += block) {
        int peak = 0;
        for (int64_t f = b; f < b + block; ++f)
            peak = std::max(peak,
                            std::abs(static_cast<int>(samples[static_cast<size_t>(f * channels)])));
        if (peak >= threshold * 32768.0) audible += block;
    }
    return audible;
}

// ---- queue doubles -----------------------------------------------------------------------------

namespace {

// What both queue doubles do alike: they record their state, and stopping an output forgets
// what it had queued.
template <class Queue>
class FakeQueue : public Queue {
  public:
    explicit FakeQueue(std::shared_ptr<FakeQueueFactory::State> s) : s_(std::move(s)) {}
    bool start() override {
        std::lock_guard g(s_->lock);
        s_->running = true;
        return true;
    }
    void pause() override {
        std::lock_guard g(s_->lock);
        s_->running = false;
    }
    void stop() override {
        std::lock_guard g(s_->lock);
        s_->stopped = true;
        s_->running = false;
        if constexpr (std::is_same_v<Queue, audio::OutputQueue>) s_->queued.clear();
    }

  protected:
    std::shared_ptr<FakeQueueFactory::State> s_;
};

class FakeOutputQueue final : public FakeQueue<audio::OutputQueue> {
  public:
    using FakeQueue::FakeQueue;
    void enqueue(const uint8_t* data, size_t bytes) override {
        std::lock_guard g(s_->lock);
        if (!s_->stopped) s_->queued.emplace_back(data, data + bytes);
    }
    void setVolume(float gain) override {
        std::lock_guard g(s_->lock);
        s_->volume = gain;
    }
    void setRate(float rate) override {
        std::lock_guard g(s_->lock);
        s_->rate = rate;
    }
};

using FakeInputQueue = FakeQueue<audio::InputQueue>;

}  // namespace

std::unique_ptr<audio::OutputQueue> FakeQueueFactory::makeOutputQueue(
    const audio::AudioStreamDescription&, const std::string& uid, size_t,
    audio::OutputQueueCallbacks callbacks) {
    std::lock_guard g(state_->lock);
    state_->lastUid = uid;
    if (state_->refuse) return nullptr;
    ++state_->outputsMade;
    state_->stopped = false;
    state_->running = false;
    state_->queued.clear();
    state_->output = std::move(callbacks);
    return std::make_unique<FakeOutputQueue>(state_);
}

std::unique_ptr<audio::InputQueue> FakeQueueFactory::makeInputQueue(
    const audio::AudioStreamDescription&, const std::string& uid, size_t,
    audio::InputQueueCallbacks callbacks) {
    std::lock_guard g(state_->lock);
    state_->lastUid = uid;
    if (state_->refuse) return nullptr;
    ++state_->inputsMade;
    state_->stopped = false;
    state_->running = false;
    state_->input = std::move(callbacks);
    return std::make_unique<FakeInputQueue>(state_);
}

bool FakeQueueFactory::consumeOne(State& state) {
    std::function<void()> done;
    {
        std::lock_guard g(state.lock);
        if (state.queued.empty() || state.stopped) return false;
        state.queued.erase(state.queued.begin());
        done = state.output.bufferDone;
    }
    if (done) done();
    return true;
}

}  // namespace lumetta::test
