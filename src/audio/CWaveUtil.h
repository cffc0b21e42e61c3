#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace lumetta::audio {

class FileStream;
class WavStream;

/// Loads the samples of a PCM WAV file as doubles in [-1, 1): 8/16/24/32-bit integers and
/// 32-bit floats, plain or extensible. Serves one file: openWav opens it, loadWav reads and
/// closes it. Single-threaded.
class CWaveUtil {
  public:
    CWaveUtil();
    ~CWaveUtil();
    CWaveUtil(const CWaveUtil&) = delete;
    CWaveUtil& operator=(const CWaveUtil&) = delete;

    /// Opens `path` and reads its format; false for a file that is no PCM or 32-bit float WAV,
    /// whose block alignment is 0 or does not match its channels and sample width.
    bool openWav(const std::string& path);
    /// Reads `count` values (frames x channels) from the start of the audio data into `out`,
    /// interleaved, and closes the file. Values past the end of the file are left 0.
    bool loadWav(double* out, uint32_t count);

    int getCh() const { return mCh; }
    int getBitsPerSample() const { return mBitsPerSample; }
    int getSampleRate() const { return mSampleRate; }
    uint32_t getSamples() const { return mSamples; }
    uint32_t getFormatFlags() const { return mFormatFlags; }
    uint32_t getDataSize() const { return mDataSize; }

    /// Where the diagnostics go (the system log by default); any thread, set it before use.
    static void setLogSink(std::function<void(const std::string&)> sink);

    /// Format flags as the reader reports them.
    static constexpr uint32_t kFlagFloat = 1;
    static constexpr uint32_t kFlagSignedInteger = 4;
    static constexpr uint32_t kFlagPacked = 8;

  private:
    bool _readSamples(unsigned char* buffer, uint64_t& byteCount);
    void close();
    static void log(const char* message);

    std::unique_ptr<FileStream> mFile;
    std::unique_ptr<WavStream> mWav;
    int mCh = 0;
    int mBitsPerSample = 0;
    int mSampleRate = 0;
    uint32_t mSamples = 0;
    uint32_t mDataSize = 0;
    uint32_t mFormatFlags = 0;
};

}  // namespace lumetta::audio
