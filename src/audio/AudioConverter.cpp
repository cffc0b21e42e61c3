#include "audio/AudioConverter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/raii/UniqueFd.h"

namespace lumetta::audio {

namespace {

// The client format split and reverse read in: the file's own PCM, or 16-bit integers.
AudioStreamDescription pcmClient(const AudioStreamDescription& s, uint32_t channels) {
    AudioStreamDescription c;
    c.sampleRate = s.sampleRate;
    c.formatID = kAudioFormatLinearPCM;
    if (s.formatID == kAudioFormatLinearPCM && s.bitsPerChannel % 8 == 0 && s.bitsPerChannel > 0) {
        c.formatFlags = s.formatFlags;
        c.bitsPerChannel = s.bitsPerChannel;
    } else {
        c.formatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
        c.bitsPerChannel = 16;
    }
    c.channelsPerFrame = channels;
    c.bytesPerFrame = c.bytesPerPacket = (c.bitsPerChannel / 8) * channels;
    c.framesPerPacket = 1;
    return c;
}

void removeRegular(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(path.c_str());
}

bool writeAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool readAllAt(int fd, uint8_t* data, size_t size, off_t at) {
    while (size > 0) {
        ssize_t n = ::pread(fd, data, size, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
        at += n;
    }
    return true;
}

}  // namespace

bool sameFile(const std::string& a, const std::string& b) {
    if (a == b) return true;
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

AudioConverter::AudioConverter(AudioFileService& files,
                               std::function<std::optional<std::string>()> temporaryFolder)
    : files_(files), temporaryFolder_(std::move(temporaryFolder)) {}

float AudioConverter::downmixFactor(float loudestSample, float loudestSum) {
    return loudestSum <= loudestSample ? 1.0f : loudestSample / loudestSum;
}

bool AudioConverter::formatWithURL(const std::string& path, AudioStreamDescription* format,
                                   double* duration) {
    auto info = files_.probe(path);
    if (!info) return false;
    if (format) *format = info->format;
    if (duration) *duration = info->duration;
    return true;
}

bool AudioConverter::convertAtURL(const std::string& source, const std::string& destination,
                                  const AudioStreamDescription& target) {
    // Writing over the file being read would destroy it, and failing would then remove it.
    if (sameFile(source, destination)) return false;
    bool ok = [&] {
        auto info = files_.probe(source);
        if (!info || target.sampleRate <= 0 || target.channelsPerFrame == 0) return false;
        const AudioStreamDescription& s = info->format;
        if (s.channelsPerFrame == 0) return false;
        AudioStreamDescription c;
        c.sampleRate = target.sampleRate;
        c.formatID = kAudioFormatLinearPCM;
        c.formatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
        c.bitsPerChannel = 32;
        c.channelsPerFrame = s.channelsPerFrame;
        c.bytesPerFrame = c.bytesPerPacket = 4 * s.channelsPerFrame;
        c.framesPerPacket = 1;

        AudioFileFormat file;
        AudioStreamDescription& d = file.format;
        d.sampleRate = target.sampleRate;
        d.channelsPerFrame = target.channelsPerFrame;
        if (target.formatID == kAudioFormatLinearPCM) {
            uint32_t bits = target.bitsPerChannel ? target.bitsPerChannel : 32;
            file.container = AudioFileFormat::Container::wave;
            d.formatID = kAudioFormatLinearPCM;
            d.formatFlags = target.bitsPerChannel
                                ? kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked
                                : kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
            d.bitsPerChannel = bits;
            d.bytesPerFrame = d.bytesPerPacket = (bits / 8) * target.channelsPerFrame;
            d.framesPerPacket = 1;
        } else if (target.formatID == kAudioFormatMPEG4AAC) {
            file.container = AudioFileFormat::Container::mpeg4;
            d.formatID = kAudioFormatMPEG4AAC;
            d.reserved = target.reserved;
        } else {
            return false;
        }

        const bool downmix = target.channelsPerFrame == 1 && s.channelsPerFrame >= 2;
        auto reader = files_.openReader(source, c);
        if (!reader) return false;
        AudioStreamDescription writerClient = c;
        if (downmix) {
            writerClient.channelsPerFrame = 1;
            writerClient.bytesPerFrame = writerClient.bytesPerPacket = 4;
        }
        auto writer = files_.createWriter(destination, file, writerClient);
        if (!writer) return false;

        const size_t ch = s.channelsPerFrame;
        std::vector<float> block(static_cast<size_t>(kBlockFrames) * ch);
        float factor = 1.0f;
        if (downmix) {
            float loudestSample = 0.0f, loudestSum = 0.0f;
            while (true) {
                int64_t n = reader->read(reinterpret_cast<uint8_t*>(block.data()), kBlockFrames);
                if (n < 0) return false;
                if (n == 0) break;
                for (int64_t f = 0; f < n; ++f) {
                    float sum = 0.0f;
                    for (size_t k = 0; k < ch; ++k) {
                        float v = block[static_cast<size_t>(f) * ch + k];
                        loudestSample = std::max(loudestSample, std::fabs(v));
                        sum += v;
                    }
                    loudestSum = std::max(loudestSum, std::fabs(sum));
                }
            }
            factor = downmixFactor(loudestSample, loudestSum);
            if (!reader->seek(0)) return false;
        }
        std::vector<float> mono(downmix ? static_cast<size_t>(kBlockFrames) : 0);
        while (true) {
            int64_t n = reader->read(reinterpret_cast<uint8_t*>(block.data()), kBlockFrames);
            if (n < 0) return false;
            if (n == 0) break;
            if (downmix) {
                for (int64_t f = 0; f < n; ++f) {
                    float sum = 0.0f;
                    for (size_t k = 0; k < ch; ++k) sum += block[static_cast<size_t>(f) * ch + k];
                    mono[static_cast<size_t>(f)] = sum * factor;
                }
                if (!writer->write(reinterpret_cast<const uint8_t*>(mono.data()), n)) return false;
            } else if (!writer->write(reinterpret_cast<const uint8_t*>(block.data()), n)) {
                return false;
            }
        }
        return writer->finish();
    }();
    if (!ok) removeRegular(destination);
    return ok;
}

bool AudioConverter::splitAtURL(const std::string& source,
                                const std::vector<std::string>& destinations) {
    for (auto& d : destinations)
        if (sameFile(source, d)) return false;
    bool ok = [&] {
        auto info = files_.probe(source);
        const size_t n = destinations.size();
        if (!info || n == 0) return false;
        const AudioStreamDescription& s = info->format;
        const uint32_t k = std::min<uint32_t>(s.channelsPerFrame / static_cast<uint32_t>(n), 2);
        if (k == 0) return false;
        AudioStreamDescription c = pcmClient(s, s.channelsPerFrame);
        AudioStreamDescription o = pcmClient(s, k);
        auto reader = files_.openReader(source, c);
        if (!reader) return false;
        std::vector<std::unique_ptr<AudioFileWriter>> writers;
        for (auto& d : destinations) {
            auto w = files_.createWriter(d, {AudioFileFormat::Container::wave, o}, o);
            if (!w) return false;
            writers.push_back(std::move(w));
        }
        const size_t sampleBytes = c.bitsPerChannel / 8;
        std::vector<uint8_t> in(static_cast<size_t>(kBlockFrames) * c.bytesPerFrame);
        std::vector<uint8_t> out(static_cast<size_t>(kBlockFrames) * o.bytesPerFrame);
        while (true) {
            int64_t frames = reader->read(in.data(), kBlockFrames);
            if (frames < 0) return false;
            if (frames == 0) break;
            for (size_t i = 0; i < n; ++i) {
                for (int64_t f = 0; f < frames; ++f)
                    std::memcpy(
                        out.data() + static_cast<size_t>(f) * o.bytesPerFrame,
                        in.data() + static_cast<size_t>(f) * c.bytesPerFrame + sampleBytes * i * k,
                        o.bytesPerFrame);
                if (!writers[i]->write(out.data(), frames)) return false;
            }
        }
        for (auto& w : writers)
            if (!w->finish()) return false;
        return true;
    }();
    if (!ok)
        for (auto& d : destinations)
            if (!sameFile(source, d)) removeRegular(d);
    return ok;
}

bool AudioConverter::reverseAtURL(const std::string& source, const std::string& destination) {
    if (sameFile(source, destination)) return false;
    bool ok = [&] {
        auto info = files_.probe(source);
        if (!info || info->format.channelsPerFrame == 0) return false;
        AudioStreamDescription c = pcmClient(info->format, info->format.channelsPerFrame);
        auto reader = files_.openReader(source, c);
        if (!reader) return false;
        auto writer = files_.createWriter(destination, {AudioFileFormat::Container::wave, c}, c);
        if (!writer) return false;
        auto folder = temporaryFolder_ ? temporaryFolder_() : std::nullopt;
        if (!folder) return false;
        std::string pattern = *folder + "lmtt.XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        raii::UniqueFd fd(::mkstemp(name.data()));
        if (!fd) return false;
        struct Unlink {
            const char* path;
            ~Unlink() { ::unlink(path); }
        } unlinkLater{name.data()};

        const size_t bpf = c.bytesPerFrame;
        std::vector<uint8_t> block(static_cast<size_t>(kBlockFrames) * bpf);
        int64_t total = 0;
        while (true) {
            int64_t n = reader->read(block.data(), kBlockFrames);
            if (n < 0) return false;
            if (n == 0) break;
            if (!writeAll(fd.get(), block.data(), static_cast<size_t>(n) * bpf)) return false;
            total += n * static_cast<int64_t>(bpf);
        }
        std::vector<uint8_t> reversed(block.size());
        int64_t remaining = total;
        while (remaining > 0) {
            int64_t size = std::min<int64_t>(remaining, static_cast<int64_t>(block.size()));
            int64_t at = remaining - size;
            if (!readAllAt(fd.get(), block.data(), static_cast<size_t>(size), at)) return false;
            const size_t frames = static_cast<size_t>(size) / bpf;
            for (size_t f = 0; f < frames; ++f)
                std::memcpy(reversed.data() + f * bpf, block.data() + (frames - 1 - f) * bpf, bpf);
            if (!writer->write(reversed.data(), static_cast<int64_t>(frames))) return false;
            remaining = at;
        }
        return writer->finish();
    }();
    if (!ok) removeRegular(destination);
    return ok;
}

}  // namespace lumetta::audio
