#include "audio/ffmpeg/FfmpegAudioFiles.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace lumetta::audio {

namespace {

// ---- owners of FFmpeg handles ------------------------------------------------------------------

struct InputFormatClose {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct OutputFormatFree {
    void operator()(AVFormatContext* c) const {
        if (c && c->pb) avio_closep(&c->pb);
        avformat_free_context(c);
    }
};
struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct SwrFree {
    void operator()(SwrContext* c) const { swr_free(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FifoFree {
    void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};
struct LayoutOwner {
    AVChannelLayout layout{};
    LayoutOwner() = default;
    LayoutOwner(const LayoutOwner&) = delete;
    LayoutOwner& operator=(const LayoutOwner&) = delete;
    ~LayoutOwner() { av_channel_layout_uninit(&layout); }
};

using InputFormatPtr = std::unique_ptr<AVFormatContext, InputFormatClose>;
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatFree>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFree>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using FifoPtr = std::unique_ptr<AVAudioFifo, FifoFree>;

bool isRegularFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The interleaved sample format of a client description; NONE for one FFmpeg has no name for.
AVSampleFormat sampleFormatOf(const AudioStreamDescription& d) {
    if (d.formatID != kAudioFormatLinearPCM) return AV_SAMPLE_FMT_NONE;
    if (d.formatFlags & kAudioFormatFlagIsFloat) {
        if (d.bitsPerChannel == 32) return AV_SAMPLE_FMT_FLT;
        if (d.bitsPerChannel == 64) return AV_SAMPLE_FMT_DBL;
        return AV_SAMPLE_FMT_NONE;
    }
    switch (d.bitsPerChannel) {
        case 8:
            return AV_SAMPLE_FMT_U8;
        case 16:
            return AV_SAMPLE_FMT_S16;
        case 24:  // carried as 32-bit and packed into three bytes at the edge
        case 32:
            return AV_SAMPLE_FMT_S32;
        default:
            return AV_SAMPLE_FMT_NONE;
    }
}

bool isPacked24(const AudioStreamDescription& d) {
    return d.formatID == kAudioFormatLinearPCM && !(d.formatFlags & kAudioFormatFlagIsFloat) &&
           d.bitsPerChannel == 24;
}

// Bytes of one client sample: three for packed 24-bit, else the FFmpeg format's.
uint32_t clientSampleBytes(const AudioStreamDescription& d, AVSampleFormat f) {
    return isPacked24(d) ? 3u : static_cast<uint32_t>(av_get_bytes_per_sample(f));
}

void defaultLayout(AVChannelLayout& layout, int channels) {
    av_channel_layout_uninit(&layout);
    av_channel_layout_default(&layout, channels);
}

// A layout swresample can map: files that name no channel order get the default one.
void usableLayout(AVChannelLayout& out, const AVChannelLayout& in) {
    av_channel_layout_uninit(&out);
    if (in.order == AV_CHANNEL_ORDER_UNSPEC || in.nb_channels <= 0)
        av_channel_layout_default(&out, std::max(in.nb_channels, 1));
    else
        av_channel_layout_copy(&out, &in);
}

uint32_t formatIDOf(const AVCodecParameters& p) {
    switch (p.codec_id) {
        case AV_CODEC_ID_AAC:
            return kAudioFormatMPEG4AAC;
        case AV_CODEC_ID_MP3:
            return kAudioFormatMPEGLayer3;
        case AV_CODEC_ID_ALAC:
            return kAudioFormatAppleLossless;
        case AV_CODEC_ID_FLAC:
            return 0x666C6163;  // 'flac'
        default:
            break;
    }
    const AVCodecDescriptor* desc = avcodec_descriptor_get(p.codec_id);
    if (desc && desc->name && std::strncmp(desc->name, "pcm_", 4) == 0)
        return kAudioFormatLinearPCM;
    return p.codec_tag ? p.codec_tag : static_cast<uint32_t>(p.codec_id);
}

// ---- reader ------------------------------------------------------------------------------------

class FfmpegReader final : public AudioFileReader {
  public:
    static std::unique_ptr<FfmpegReader> open(const std::string& path,
                                              const AudioStreamDescription& client) {
        if (!isRegularFile(path)) return nullptr;
        auto reader = std::unique_ptr<FfmpegReader>(new FfmpegReader(client));
        return reader->openFile(path) ? std::move(reader) : nullptr;
    }

    AudioStreamDescription fileFormat() const override { return file_; }
    uint64_t totalFrames() const override { return total_; }

    int64_t read(uint8_t* buffer, int64_t frames) override {
        if (frames <= 0) return 0;
        const size_t bpf = client_.bytesPerFrame;
        const size_t want = static_cast<size_t>(frames) * bpf;
        while (available() < want && !finished_) {
            if (!decodeStep()) return -1;
        }
        size_t n = std::min(available(), want) / bpf * bpf;
        if (n == 0) return 0;  // at the end nothing is pending, and memcpy takes no null source
        std::memcpy(buffer, pending_.data() + pendingOffset_, n);
        pendingOffset_ += n;
        if (pendingOffset_ == pending_.size()) {
            pending_.clear();
            pendingOffset_ = 0;
        }
        return static_cast<int64_t>(n / bpf);
    }

    bool seek(uint64_t frame) override {
        AVStream* st = format_->streams[stream_];
        int64_t ts =
            av_rescale_q(static_cast<int64_t>(frame), AVRational{1, fileRate_}, st->time_base);
        if (st->start_time != AV_NOPTS_VALUE) ts += st->start_time;
        if (av_seek_frame(format_.get(), stream_, ts, AVSEEK_FLAG_BACKWARD) < 0 &&
            avformat_seek_file(format_.get(), stream_, INT64_MIN, ts, ts, 0) < 0)
            return false;
        avcodec_flush_buffers(codec_.get());
        swr_close(swr_.get());
        if (swr_init(swr_.get()) < 0) return false;
        pending_.clear();
        pendingOffset_ = 0;
        inputDone_ = finished_ = false;
        badPackets_ = 0;
        skipUntil_ = static_cast<int64_t>(frame);
        nextFrame_ = static_cast<int64_t>(frame);
        return true;
    }

  private:
    explicit FfmpegReader(const AudioStreamDescription& client) : client_(client) {}

    size_t available() const { return pending_.size() - pendingOffset_; }

    bool openFile(const std::string& path) {
        outFormat_ = sampleFormatOf(client_);
        if (outFormat_ == AV_SAMPLE_FMT_NONE || client_.channelsPerFrame == 0 ||
            client_.sampleRate <= 0 ||
            client_.bytesPerFrame !=
                client_.channelsPerFrame * clientSampleBytes(client_, outFormat_))
            return false;
        packed24_ = isPacked24(client_);
        AVFormatContext* raw = nullptr;
        if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return false;
        format_.reset(raw);
        if (avformat_find_stream_info(format_.get(), nullptr) < 0) return false;
        const AVCodec* decoder = nullptr;
        stream_ = av_find_best_stream(format_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
        if (stream_ < 0 || !decoder) return false;
        AVStream* st = format_->streams[stream_];
        const AVCodecParameters& par = *st->codecpar;
        if (par.sample_rate <= 0 || par.ch_layout.nb_channels <= 0) return false;
        codec_.reset(avcodec_alloc_context3(decoder));
        if (!codec_ || avcodec_parameters_to_context(codec_.get(), &par) < 0) return false;
        codec_->pkt_timebase = st->time_base;
        if (avcodec_open2(codec_.get(), decoder, nullptr) < 0) return false;
        fileRate_ = par.sample_rate;

        file_.sampleRate = par.sample_rate;
        file_.formatID = formatIDOf(par);
        file_.channelsPerFrame = static_cast<uint32_t>(par.ch_layout.nb_channels);
        int bits = par.bits_per_raw_sample ? par.bits_per_raw_sample : par.bits_per_coded_sample;
        if (file_.formatID == kAudioFormatLinearPCM) {
            AVSampleFormat f = codec_->sample_fmt;
            bool isFloat = f == AV_SAMPLE_FMT_FLT || f == AV_SAMPLE_FMT_DBL ||
                           f == AV_SAMPLE_FMT_FLTP || f == AV_SAMPLE_FMT_DBLP;
            if (!bits) bits = av_get_bytes_per_sample(f) * 8;
            file_.formatFlags =
                kAudioFormatFlagIsPacked |
                (isFloat ? kAudioFormatFlagIsFloat : kAudioFormatFlagIsSignedInteger);
            file_.bitsPerChannel = static_cast<uint32_t>(bits);
            file_.framesPerPacket = 1;
            file_.bytesPerFrame = file_.bytesPerPacket =
                (file_.bitsPerChannel / 8) * file_.channelsPerFrame;
        } else {
            file_.bitsPerChannel = 0;
            file_.framesPerPacket = static_cast<uint32_t>(std::max(par.frame_size, 0));
        }
        int64_t bitRate = par.bit_rate ? par.bit_rate : format_->bit_rate;
        file_.reserved = static_cast<uint32_t>(std::clamp<int64_t>(bitRate, 0, UINT32_MAX));

        if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
            total_ = static_cast<uint64_t>(
                av_rescale_q(st->duration, st->time_base, AVRational{1, fileRate_}));
        else if (format_->duration != AV_NOPTS_VALUE && format_->duration > 0)
            total_ = static_cast<uint64_t>(
                av_rescale_q(format_->duration, AV_TIME_BASE_Q, AVRational{1, fileRate_}));

        frame_.reset(av_frame_alloc());
        packet_.reset(av_packet_alloc());
        return frame_ && packet_ &&
               configureResampler(codec_->ch_layout, codec_->sample_fmt, codec_->sample_rate);
    }

    bool configureResampler(const AVChannelLayout& layout, AVSampleFormat format, int rate) {
        LayoutOwner in, out;
        usableLayout(in.layout, layout);
        defaultLayout(out.layout, static_cast<int>(client_.channelsPerFrame));
        SwrContext* raw = nullptr;
        if (swr_alloc_set_opts2(&raw, &out.layout, outFormat_, static_cast<int>(client_.sampleRate),
                                &in.layout, format, rate, 0, nullptr) < 0)
            return false;
        swr_.reset(raw);
        if (swr_init(swr_.get()) < 0) return false;
        av_channel_layout_uninit(&inLayout_);
        av_channel_layout_copy(&inLayout_, &layout);
        inFormat_ = format;
        inRate_ = rate;
        return true;
    }

    // Decodes one more frame (or finishes); false on a read or decode failure.
    bool decodeStep() {
        while (true) {
            int r = avcodec_receive_frame(codec_.get(), frame_.get());
            if (r == 0) {
                bool ok = takeFrame(*frame_);
                av_frame_unref(frame_.get());
                return ok;
            }
            if (r == AVERROR_EOF) return flushResampler();
            if (r != AVERROR(EAGAIN)) {
                if (r == AVERROR_INVALIDDATA && ++badPackets_ < kMaxBadPackets) continue;
                return false;
            }
            if (inputDone_) return flushResampler();
            r = av_read_frame(format_.get(), packet_.get());
            if (r == AVERROR_EOF) {
                inputDone_ = true;
                avcodec_send_packet(codec_.get(), nullptr);
                continue;
            }
            if (r < 0) return false;
            if (packet_->stream_index != stream_) {
                av_packet_unref(packet_.get());
                continue;
            }
            r = avcodec_send_packet(codec_.get(), packet_.get());
            av_packet_unref(packet_.get());
            if (r < 0 && r != AVERROR(EAGAIN)) {
                // A damaged packet among good ones is skipped; a run of them means the file
                // is not readable.
                if (r == AVERROR_INVALIDDATA && ++badPackets_ < kMaxBadPackets) continue;
                return false;
            }
            if (r == 0) badPackets_ = 0;
        }
    }

    bool flushResampler() {
        int out = swr_get_out_samples(swr_.get(), 0);
        if (out > 0 && !appendConverted(nullptr, 0, out)) return false;
        finished_ = true;
        return true;
    }

    bool takeFrame(AVFrame& frame) {
        int64_t start = nextFrame_;
        if (frame.best_effort_timestamp != AV_NOPTS_VALUE) {
            AVStream* st = format_->streams[stream_];
            int64_t pts = frame.best_effort_timestamp;
            if (st->start_time != AV_NOPTS_VALUE) pts -= st->start_time;
            start = av_rescale_q(pts, st->time_base, AVRational{1, fileRate_});
        }
        nextFrame_ = start + frame.nb_samples;
        int skip = 0;
        if (skipUntil_ >= 0) {
            if (start + frame.nb_samples <= skipUntil_) return true;  // before the seek target
            skip = static_cast<int>(std::max<int64_t>(0, skipUntil_ - start));
            skipUntil_ = -1;
        }
        auto format = static_cast<AVSampleFormat>(frame.format);
        if (format != inFormat_ || frame.sample_rate != inRate_ ||
            av_channel_layout_compare(&frame.ch_layout, &inLayout_) != 0) {
            if (!configureResampler(frame.ch_layout, format, frame.sample_rate)) return false;
        }
        const int channels = frame.ch_layout.nb_channels;
        const int bytes = av_get_bytes_per_sample(format);
        const uint8_t* in[64] = {};
        if (av_sample_fmt_is_planar(format)) {
            for (int c = 0; c < channels && c < 64; ++c)
                in[c] = frame.extended_data[c] + static_cast<ptrdiff_t>(skip) * bytes;
        } else {
            in[0] = frame.extended_data[0] + static_cast<ptrdiff_t>(skip) * bytes * channels;
        }
        int count = frame.nb_samples - skip;
        return appendConverted(in, count, swr_get_out_samples(swr_.get(), count));
    }

    bool appendConverted(const uint8_t** in, int count, int outCapacity) {
        if (outCapacity <= 0) return true;
        if (pendingOffset_ > 0) {
            pending_.erase(pending_.begin(),
                           pending_.begin() + static_cast<ptrdiff_t>(pendingOffset_));
            pendingOffset_ = 0;
        }
        size_t old = pending_.size();
        if (packed24_) {
            wide_.resize(static_cast<size_t>(outCapacity) * client_.channelsPerFrame);
            auto* out = reinterpret_cast<uint8_t*>(wide_.data());
            int n = swr_convert(swr_.get(), &out, outCapacity, in, count);
            if (n < 0) return false;
            size_t samples = static_cast<size_t>(n) * client_.channelsPerFrame;
            pending_.resize(old + samples * 3);
            uint8_t* p = pending_.data() + old;
            for (size_t i = 0; i < samples; ++i) {
                auto v = static_cast<uint32_t>(wide_[i]);
                p[3 * i] = static_cast<uint8_t>(v >> 8);
                p[3 * i + 1] = static_cast<uint8_t>(v >> 16);
                p[3 * i + 2] = static_cast<uint8_t>(v >> 24);
            }
            return true;
        }
        pending_.resize(old + static_cast<size_t>(outCapacity) * client_.bytesPerFrame);
        uint8_t* out = pending_.data() + old;
        int n = swr_convert(swr_.get(), &out, outCapacity, in, count);
        if (n < 0) {
            pending_.resize(old);
            return false;
        }
        pending_.resize(old + static_cast<size_t>(n) * client_.bytesPerFrame);
        return true;
    }

    static constexpr int kMaxBadPackets = 16;

    AudioStreamDescription client_;
    AudioStreamDescription file_;
    AVSampleFormat outFormat_ = AV_SAMPLE_FMT_NONE;
    InputFormatPtr format_;
    CodecPtr codec_;
    SwrPtr swr_;
    FramePtr frame_;
    PacketPtr packet_;
    LayoutOwner inLayoutOwner_;
    AVChannelLayout& inLayout_ = inLayoutOwner_.layout;  // what the resampler was set up for
    AVSampleFormat inFormat_ = AV_SAMPLE_FMT_NONE;
    int inRate_ = 0;
    int stream_ = -1;
    int fileRate_ = 0;
    uint64_t total_ = 0;
    std::vector<uint8_t> pending_;
    size_t pendingOffset_ = 0;
    bool inputDone_ = false;
    bool finished_ = false;
    int badPackets_ = 0;
    bool packed24_ = false;
    std::vector<int32_t> wide_;
    int64_t skipUntil_ = -1;
    int64_t nextFrame_ = 0;
};

// ---- writer ------------------------------------------------------------------------------------

AVCodecID pcmCodecOf(const AudioStreamDescription& d) {
    if (d.formatFlags & kAudioFormatFlagIsFloat)
        return d.bitsPerChannel == 64
                   ? AV_CODEC_ID_PCM_F64LE
                   : (d.bitsPerChannel == 32 ? AV_CODEC_ID_PCM_F32LE : AV_CODEC_ID_NONE);
    switch (d.bitsPerChannel) {
        case 8:
            return AV_CODEC_ID_PCM_U8;
        case 16:
            return AV_CODEC_ID_PCM_S16LE;
        case 24:
            return AV_CODEC_ID_PCM_S24LE;
        case 32:
            return AV_CODEC_ID_PCM_S32LE;
        default:
            return AV_CODEC_ID_NONE;
    }
}

class FfmpegWriter final : public AudioFileWriter {
  public:
    static std::unique_ptr<FfmpegWriter> create(const std::string& path,
                                                const AudioFileFormat& file,
                                                const AudioStreamDescription& client) {
        auto writer = std::unique_ptr<FfmpegWriter>(new FfmpegWriter(client));
        if (writer->createFile(path, file)) return writer;
        writer.reset();
        return nullptr;
    }

    ~FfmpegWriter() override {
        if (headerWritten_ && !finished_) finish();
    }

    bool write(const uint8_t* data, int64_t frames) override {
        if (failed_ || finished_) return false;
        if (frames <= 0) return true;
        if (isPacked24(client_)) {
            size_t samples = static_cast<size_t>(frames) * client_.channelsPerFrame;
            wide_.resize(samples);
            for (size_t i = 0; i < samples; ++i)
                wide_[i] = static_cast<int32_t>(static_cast<uint32_t>(data[3 * i]) << 8 |
                                                static_cast<uint32_t>(data[3 * i + 1]) << 16 |
                                                static_cast<uint32_t>(data[3 * i + 2]) << 24);
            data = reinterpret_cast<const uint8_t*>(wide_.data());
        }
        const uint8_t* in[1] = {data};
        if (!convertIntoFifo(in, static_cast<int>(frames))) return fail();
        while (av_audio_fifo_size(fifo_.get()) >= frameSize_)
            if (!encodeFromFifo(frameSize_)) return fail();
        // What was captured reaches the file now, not when the buffer fills, and a full disk
        // shows at once.
        avio_flush(format_->pb);
        if (format_->pb->error < 0) return fail();
        return true;
    }

    bool finish() override {
        if (finished_ || !headerWritten_) return !failed_ && headerWritten_;
        finished_ = true;
        bool ok = !failed_;
        if (ok && swr_) {
            int out = swr_get_out_samples(swr_.get(), 0);
            if (out > 0) ok = convertIntoFifo(nullptr, 0);
        }
        while (ok && av_audio_fifo_size(fifo_.get()) > 0)
            ok = encodeFromFifo(std::min(frameSize_, av_audio_fifo_size(fifo_.get())));
        if (ok) ok = encode(nullptr);
        // The trailer is written even after a failure: it makes what was written playable.
        if (av_write_trailer(format_.get()) < 0) ok = false;
        if (format_->pb && format_->pb->error < 0) ok = false;
        if (avio_closep(&format_->pb) < 0) ok = false;
        failed_ = !ok;
        return ok;
    }

  private:
    explicit FfmpegWriter(const AudioStreamDescription& client) : client_(client) {}

    bool fail() {
        failed_ = true;
        return false;
    }

    bool createFile(const std::string& path, const AudioFileFormat& file) {
        const bool wave = file.container == AudioFileFormat::Container::wave;
        const AudioStreamDescription& d = file.format;
        AVSampleFormat inFormat = sampleFormatOf(client_);
        if (inFormat == AV_SAMPLE_FMT_NONE || client_.channelsPerFrame == 0 ||
            client_.sampleRate <= 0 || d.channelsPerFrame == 0 || d.sampleRate <= 0)
            return false;
        AVCodecID id = wave ? pcmCodecOf(d) : AV_CODEC_ID_AAC;
        const AVCodec* encoder = avcodec_find_encoder(id);
        if (!encoder) return false;
        AVFormatContext* raw = nullptr;
        if (avformat_alloc_output_context2(&raw, nullptr, wave ? "wav" : "ipod", path.c_str()) < 0)
            return false;
        format_.reset(raw);
        codec_.reset(avcodec_alloc_context3(encoder));
        if (!codec_) return false;
        const int rate = static_cast<int>(d.sampleRate);
        codec_->sample_rate = rate;
        defaultLayout(codec_->ch_layout, static_cast<int>(d.channelsPerFrame));
        codec_->sample_fmt = wave ? encoder->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
        codec_->time_base = AVRational{1, rate};
        if (!wave) codec_->bit_rate = d.reserved;
        if (format_->oformat->flags & AVFMT_GLOBALHEADER)
            codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (avcodec_open2(codec_.get(), encoder, nullptr) < 0) return false;
        stream_ = avformat_new_stream(format_.get(), nullptr);
        if (!stream_ || avcodec_parameters_from_context(stream_->codecpar, codec_.get()) < 0)
            return false;
        stream_->time_base = codec_->time_base;
        frameSize_ = codec_->frame_size > 0 ? codec_->frame_size : 4096;

        LayoutOwner in;
        defaultLayout(in.layout, static_cast<int>(client_.channelsPerFrame));
        SwrContext* swr = nullptr;
        if (swr_alloc_set_opts2(&swr, &codec_->ch_layout, codec_->sample_fmt, rate, &in.layout,
                                inFormat, static_cast<int>(client_.sampleRate), 0, nullptr) < 0)
            return false;
        swr_.reset(swr);
        if (swr_init(swr_.get()) < 0) return false;
        fifo_.reset(
            av_audio_fifo_alloc(codec_->sample_fmt, codec_->ch_layout.nb_channels, frameSize_ * 2));
        packet_.reset(av_packet_alloc());
        if (!fifo_ || !packet_) return false;

        if (avio_open(&format_->pb, path.c_str(), AVIO_FLAG_WRITE) < 0) return false;
        if (avformat_write_header(format_.get(), nullptr) < 0) return false;
        headerWritten_ = true;
        return true;
    }

    bool convertIntoFifo(const uint8_t** in, int frames) {
        int out = swr_get_out_samples(swr_.get(), frames);
        if (out <= 0) return true;
        uint8_t** data = nullptr;
        int lineSize = 0;
        if (av_samples_alloc_array_and_samples(&data, &lineSize, codec_->ch_layout.nb_channels, out,
                                               codec_->sample_fmt, 0) < 0)
            return false;
        int n = swr_convert(swr_.get(), data, out, in, frames);
        bool ok = n >= 0 && (n == 0 || av_audio_fifo_write(fifo_.get(),
                                                           reinterpret_cast<void**>(data), n) == n);
        av_freep(&data[0]);
        av_freep(&data);
        return ok;
    }

    bool encodeFromFifo(int count) {
        FramePtr frame(av_frame_alloc());
        if (!frame) return false;
        int samples = count;
        // Encoders that take only whole frames get the last one padded with silence.
        if (count < frameSize_ && codec_->frame_size > 0 &&
            !(codec_->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME))
            samples = frameSize_;
        frame->nb_samples = samples;
        frame->format = codec_->sample_fmt;
        frame->sample_rate = codec_->sample_rate;
        if (av_channel_layout_copy(&frame->ch_layout, &codec_->ch_layout) < 0) return false;
        if (av_frame_get_buffer(frame.get(), 0) < 0) return false;
        if (samples != count)
            av_samples_set_silence(frame->extended_data, 0, samples, codec_->ch_layout.nb_channels,
                                   codec_->sample_fmt);
        if (av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame->extended_data),
                               count) != count)
            return false;
        frame->pts = pts_;
        pts_ += samples;
        return encode(frame.get());
    }

    bool encode(AVFrame* frame) {
        if (avcodec_send_frame(codec_.get(), frame) < 0) return false;
        while (true) {
            int r = avcodec_receive_packet(codec_.get(), packet_.get());
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
            if (r < 0) return false;
            av_packet_rescale_ts(packet_.get(), codec_->time_base, stream_->time_base);
            packet_->stream_index = stream_->index;
            r = av_interleaved_write_frame(format_.get(), packet_.get());
            av_packet_unref(packet_.get());
            if (r < 0) return false;
        }
    }

    AudioStreamDescription client_;
    OutputFormatPtr format_;
    CodecPtr codec_;
    SwrPtr swr_;
    FifoPtr fifo_;
    PacketPtr packet_;
    AVStream* stream_ = nullptr;
    int frameSize_ = 4096;
    int64_t pts_ = 0;
    std::vector<int32_t> wide_;
    bool headerWritten_ = false;
    bool finished_ = false;
    bool failed_ = false;
};

}  // namespace

FfmpegAudioFiles::FfmpegAudioFiles() {
    // Damaged files are expected input here; their details are not worth a line each.
    av_log_set_level(AV_LOG_FATAL);
}

std::unique_ptr<AudioFileReader> FfmpegAudioFiles::openReader(
    const std::string& path, const AudioStreamDescription& client) {
    return FfmpegReader::open(path, client);
}

std::unique_ptr<AudioFileWriter> FfmpegAudioFiles::createWriter(
    const std::string& path, const AudioFileFormat& file, const AudioStreamDescription& client) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return nullptr;
    auto writer = FfmpegWriter::create(path, file, client);
    if (!writer) {
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(path.c_str());
        return nullptr;
    }
    return writer;
}

}  // namespace lumetta::audio
