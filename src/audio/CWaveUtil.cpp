#include "audio/CWaveUtil.h"

#include <syslog.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "audio/FileStream.h"
#include "audio/WavStream.h"

namespace lumetta::audio {

namespace {
std::mutex& sinkLock() {
    static std::mutex m;
    return m;
}
std::function<void(const std::string&)>& sink() {
    static std::function<void(const std::string&)> s;
    return s;
}
}  // namespace

CWaveUtil::CWaveUtil() = default;

CWaveUtil::~CWaveUtil() {
    close();
}

void CWaveUtil::setLogSink(std::function<void(const std::string&)> s) {
    std::lock_guard guard(sinkLock());
    sink() = std::move(s);
}

void CWaveUtil::log(const char* message) {
    std::lock_guard guard(sinkLock());
    if (sink())
        sink()(message);
    else
        syslog(LOG_ERR, "%s", message);
}

void CWaveUtil::close() {
    mWav.reset();
    mFile.reset();
}

bool CWaveUtil::openWav(const std::string& path) {
    close();
    mFile = std::make_unique<FileStream>();
    mWav = std::make_unique<WavStream>(*mFile);
    if (!mFile->openRead(path.c_str()) || !mWav->openRead()) {
        log("AudioFileGetProperty failed");
        close();
        return false;
    }
    const WavFormat& f = mWav->format();
    uint16_t tag = f.formatTag == 0xFFFE ? mWav->subFormat() : f.formatTag;
    if (tag != 1 && tag != 3) {
        close();
        return false;
    }
    bool isFloat = tag == 3;
    // A frame size of 0 leaves the frame count undefined; one that disagrees with the channels
    // and sample width would make every value after the first frame come from the wrong bytes.
    unsigned width = isFloat ? 4u : f.bitsPerSample / 8u;
    if (f.blockAlign == 0 || f.channels == 0 ||
        (!isFloat && f.bitsPerSample % 8 == 0 && f.blockAlign != f.channels * width) ||
        (isFloat && f.bitsPerSample == 32 && f.blockAlign != f.channels * 4u)) {
        log("AudioFileGetProperty failed");
        close();
        return false;
    }
    mCh = f.channels;
    mBitsPerSample = f.bitsPerSample;
    mSampleRate = static_cast<int>(f.samplesPerSec > 0x7FFFFFFFu ? 0x7FFFFFFFu : f.samplesPerSec);
    mSamples = static_cast<uint32_t>(mWav->frameCount());
    mDataSize = static_cast<uint32_t>(mWav->size());
    if (isFloat)
        mFormatFlags = kFlagFloat | kFlagPacked;
    else
        mFormatFlags = (f.bitsPerSample > 8 ? kFlagSignedInteger : 0u) | kFlagPacked;
    if (isFloat && f.bitsPerSample != 32) {
        close();
        return false;
    }
    return true;
}

bool CWaveUtil::_readSamples(unsigned char* buffer, uint64_t& byteCount) {
    if (!mWav || !mWav->seek(0)) {
        log("AudioFileReadBytes failed");
        close();
        return false;
    }
    byteCount = mWav->read(buffer, byteCount);
    return true;
}

bool CWaveUtil::loadWav(double* out, uint32_t count) {
    if (!mWav) return false;
    bool isFloat = (mFormatFlags & kFlagFloat) != 0;
    unsigned width = 0;
    if (isFloat) {
        width = 4;
    } else if (mBitsPerSample == 8 || mBitsPerSample == 16 || mBitsPerSample == 24 ||
               mBitsPerSample == 32) {
        width = static_cast<unsigned>(mBitsPerSample) / 8;
    } else {
        log("Unknown format");
        close();
        return false;
    }
    if (out == nullptr && count > 0) {
        close();
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) out[i] = 0.0;
    // Only what the file holds is allocated, whatever the caller asked for.
    uint64_t want = static_cast<uint64_t>(count) * width;
    if (want > mWav->size()) want = mWav->size();
    std::vector<unsigned char> bytes(static_cast<size_t>(want));
    uint64_t got = want;
    if (!_readSamples(bytes.data(), got)) return false;
    uint64_t values = got / width;
    const unsigned char* p = bytes.data();
    for (uint64_t i = 0; i < values; ++i, p += width) {
        double v = 0.0;
        switch (isFloat ? 0u : width) {
            case 0: {
                float f;
                std::memcpy(&f, p, 4);
                v = static_cast<double>(f);
                break;
            }
            case 1:
                v = (static_cast<double>(p[0]) - 128.0) * 0.0078125;
                break;
            case 2:
                v = static_cast<double>(
                        static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8))) *
                    3.0517578125e-05;
                break;
            case 3: {
                int32_t s = static_cast<int32_t>(static_cast<uint32_t>(p[0]) |
                                                 static_cast<uint32_t>(p[1]) << 8 |
                                                 static_cast<uint32_t>(p[2]) << 16);
                if (p[2] & 0x80) s -= 0x1000000;
                v = static_cast<double>(s) * 1.1920928955078125e-07;
                break;
            }
            default: {
                uint32_t u = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                             static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
                v = static_cast<double>(static_cast<int32_t>(u)) * 4.656612873077393e-10;
                break;
            }
        }
        out[i] = v;
    }
    close();
    return true;
}

}  // namespace lumetta::audio
