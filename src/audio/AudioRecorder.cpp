#include "audio/AudioRecorder.h"

#include <sys/stat.h>
#include <syslog.h>

namespace lumetta::audio {

AudioFileFormat recordFileFormat(int code, const AudioStreamDescription& input) {
    AudioFileFormat file;
    if (code == 4) {
        file.container = AudioFileFormat::Container::wave;
        auto& f = file.format;
        f.sampleRate = input.sampleRate;
        f.formatID = kAudioFormatLinearPCM;
        f.formatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
        f.channelsPerFrame = input.channelsPerFrame;
        f.bitsPerChannel = 16;
        f.bytesPerFrame = f.bytesPerPacket = 2 * input.channelsPerFrame;
        f.framesPerPacket = 1;
        return file;
    }
    file.container = AudioFileFormat::Container::mpeg4;
    file.format.sampleRate = input.sampleRate;
    file.format.formatID = kAudioFormatMPEG4AAC;
    file.format.channelsPerFrame = input.channelsPerFrame;
    switch (code) {
        case 0:
            file.format.reserved = 256000;
            break;
        case 1:
            file.format.reserved = 192000;
            break;
        case 2:
            file.format.reserved = 128000;
            break;
        default:
            file.format.reserved = 64000;
            break;
    }
    return file;
}

AudioRecorder::AudioRecorder(AudioFileService& files) : files_(files) {}

AudioRecorder::~AudioRecorder() {
    delegate_.store(nullptr);
    close();
    if (auto* input = input_.load()) input->setDelegate(nullptr);
}

bool AudioRecorder::create(const std::string& path, int code) {
    close();
    auto* input = input_.load();
    if (!input) return false;
    input->ASBD(inputFormat_);
    // Only ever replace a regular file: a FIFO would block the writer and a device or folder
    // is no recording's place (and must not be removed on failure).
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return false;
    auto writer = files_.createWriter(path, recordFileFormat(code, inputFormat_), inputFormat_);
    if (!writer) return false;
    std::lock_guard guard(lock_);
    extAudioFile_ = std::move(writer);
    fileURL_ = path;
    return true;
}

void AudioRecorder::finishFile() {
    std::unique_ptr<AudioFileWriter> writer;
    {
        std::lock_guard guard(lock_);
        writer = std::move(extAudioFile_);
    }
    if (writer && !writer->finish()) syslog(LOG_WARNING, "AudioRecorder: finishing failed");
}

void AudioRecorder::close() {
    if (auto* input = input_.load()) input->stop(true);
    finishFile();
    std::lock_guard guard(lock_);
    fileURL_.reset();
}

void AudioRecorder::record() {
    if (auto* input = input_.load()) input->start(device());
}

void AudioRecorder::pause() {
    if (auto* input = input_.load()) input->pause();
}

void AudioRecorder::stop(bool atOnce) {
    if (auto* input = input_.load()) input->stop(atOnce);
    if (atOnce) didClose();
}

void AudioRecorder::inputStreamDidClosed(AudioInputStream&) {
    didClose();
}

void AudioRecorder::didClose() {
    finishFile();
    std::optional<std::string> path;
    {
        std::lock_guard guard(lock_);
        path = std::move(fileURL_);
        fileURL_.reset();
    }
    if (path)
        if (auto* delegate = delegate_.load()) delegate->audioRecorderDidFinishRecording(*path);
}

int AudioRecorder::status() const {
    auto* input = input_.load();
    return input ? input->status() : 0;
}

unsigned AudioRecorder::numberOfChannels() const {
    auto* input = input_.load();
    return input ? input->numberOfChannels() : 0;
}

float AudioRecorder::volume() const {
    auto* input = input_.load();
    return input ? input->volume() : 0.0f;
}

double AudioRecorder::currentTime() const {
    {
        std::lock_guard guard(lock_);
        if (!extAudioFile_) return 0.0;
    }
    auto* input = input_.load();
    return input ? input->currentTime() : 0.0;
}

void AudioRecorder::setVolume(float volume) {
    if (volume < 0.0f || volume > 1.0f) return;
    if (auto* input = input_.load()) input->setVolume(volume);
}

float AudioRecorder::peakPowerForChannel(unsigned channel) const {
    auto* input = input_.load();
    if (!input || channel >= input->numberOfChannels()) return 0.0f;
    return input->peakPowerForChannel(channel);
}

void AudioRecorder::setInput(AudioInputStream* input) {
    if (auto* old = input_.load()) old->stop(true);
    input_.store(input);
    if (input) input->setDelegate(this);
}

std::string AudioRecorder::device() const {
    std::lock_guard guard(lock_);
    return deviceUID_.value_or("");
}

void AudioRecorder::setDevice(const std::string& uid) {
    stop(false);
    std::lock_guard guard(lock_);
    deviceUID_ = uid;
}

std::optional<std::string> AudioRecorder::file() const {
    std::lock_guard guard(lock_);
    return fileURL_;
}

void AudioRecorder::inputStream(AudioInputStream&, const uint8_t* buffer, int64_t length) {
    if (length <= 0) return;
    bool failed = false;
    std::optional<std::string> path;
    {
        std::lock_guard guard(lock_);
        if (!extAudioFile_ || inputFormat_.bytesPerFrame == 0) return;
        failed = !extAudioFile_->write(buffer, length / inputFormat_.bytesPerFrame);
        if (failed) path = fileURL_;
    }
    if (!failed) return;
    syslog(LOG_WARNING, "AudioRecorder: writing failed");
    if (path)
        if (auto* delegate = delegate_.load()) delegate->audioRecorderErrorDidOccur(*path);
    stop(true);
}

void AudioRecorder::inputDidFail() {
    std::optional<std::string> path = file();
    if (path)
        if (auto* delegate = delegate_.load()) delegate->audioRecorderErrorDidOccur(*path);
    stop(true);
}

}  // namespace lumetta::audio
