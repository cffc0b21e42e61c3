#include "audio/AudioPlayer.h"

#include <syslog.h>

#include <cmath>

namespace lumetta::audio {

AudioPlayer::AudioPlayer(AudioFileService& files, Later later)
    : files_(files), later_(std::move(later)) {}

AudioPlayer::~AudioPlayer() {
    delegate_.store(nullptr);
    close();
    if (auto* output = output_.load()) output->setDelegate(nullptr);
}

std::string AudioPlayer::path() const {
    std::lock_guard guard(textLock_);
    return fileURL_.value_or("");
}

bool AudioPlayer::open(const std::string& path) {
    close();
    bool opened = false;
    if (auto* output = output_.load()) {
        output->ASBD(outputFormat_);
        extAudioFile_ = files_.openReader(path, outputFormat_);
        if (extAudioFile_) {
            inputFormat_ = extAudioFile_->fileFormat();
            totalFrames_.store(extAudioFile_->totalFrames());
            std::lock_guard guard(textLock_);
            fileURL_ = path;
            opened = true;
        } else {
            totalFrames_.store(0);
        }
    }
    if (later_) later_([this] { setSpeed(1.0f); });
    return opened;
}

void AudioPlayer::close() {
    if (auto* output = output_.load()) output->stop();
    extAudioFile_.reset();
    inputFormat_ = {};
    {
        std::lock_guard guard(textLock_);
        fileURL_.reset();
    }
    totalFrames_.store(0);
    locateTime_.store(0.0);
}

void AudioPlayer::play() {
    if (!extAudioFile_) return;
    if (auto* output = output_.load()) output->start(device());
}

void AudioPlayer::pause() {
    if (auto* output = output_.load()) output->pause();
}

void AudioPlayer::stop() {
    if (auto* output = output_.load()) output->stop();
    if (extAudioFile_) extAudioFile_->seek(0);
    locateTime_.store(0.0);
    if (auto* delegate = delegate_.load()) delegate->audioPlayerDidFinishPlaying(path());
}

void AudioPlayer::locate(double seconds) {
    auto* output = output_.load();
    if (output) output->stop();
    if (!extAudioFile_) return;
    double frame = std::floor(seconds * inputFormat_.sampleRate);
    if (!(frame >= 0.0) || !extAudioFile_->seek(static_cast<uint64_t>(frame))) return;
    locateTime_.store(seconds);
    float speed = output ? output->speed() : 1.0f;
    if (later_) later_([this, speed] { setSpeed(speed); });
}

int AudioPlayer::status() const {
    auto* output = output_.load();
    return output ? output->status() : 0;
}

unsigned AudioPlayer::numberOfChannels() const {
    auto* output = output_.load();
    return output ? output->numberOfChannels() : 0;
}

float AudioPlayer::speed() const {
    auto* output = output_.load();
    return output ? output->speed() : 0.0f;
}

float AudioPlayer::volume() const {
    auto* output = output_.load();
    return output ? output->volume() : 0.0f;
}

double AudioPlayer::currentTime() const {
    auto* output = output_.load();
    return (output ? output->currentTime() : 0.0) + locateTime_.load();
}

double AudioPlayer::totalTime() const {
    if (inputFormat_.sampleRate == 0.0) return 0.0;
    return static_cast<double>(totalFrames_.load()) / inputFormat_.sampleRate;
}

void AudioPlayer::setSpeed(float speed) {
    if (speed < 0.0f || speed > 2.0f) return;
    if (auto* output = output_.load()) output->setSpeed(speed);
}

void AudioPlayer::setVolume(float volume) {
    if (volume < 0.0f || volume > 1.0f) return;
    if (auto* output = output_.load()) output->setVolume(volume);
}

float AudioPlayer::peakPowerForChannel(unsigned channel) const {
    auto* output = output_.load();
    if (!output || channel >= output->numberOfChannels()) return 0.0f;
    return output->peakPowerForChannel(channel);
}

void AudioPlayer::setOutput(AudioOutputStream* output) {
    if (auto* old = output_.load()) old->stop();
    output_.store(output);
    if (output) output->setDelegate(this);
}

std::string AudioPlayer::device() const {
    std::lock_guard guard(textLock_);
    return deviceUID_.value_or("");
}

void AudioPlayer::setDevice(const std::string& uid) {
    stop();
    std::lock_guard guard(textLock_);
    deviceUID_ = uid;
}

std::optional<std::string> AudioPlayer::file() const {
    std::lock_guard guard(textLock_);
    return fileURL_;
}

int64_t AudioPlayer::outputStream(AudioOutputStream&, uint8_t* buffer, int64_t maxLength) {
    const int64_t bytesPerFrame = outputFormat_.bytesPerFrame;
    if (!extAudioFile_ || bytesPerFrame <= 0 || maxLength < bytesPerFrame) return 0;
    const int64_t frames = maxLength / bytesPerFrame;
    int64_t got = extAudioFile_->read(buffer, frames);
    if (got < 0) {
        syslog(LOG_WARNING, "AudioPlayer: reading '%s' failed", path().c_str());
        stop();
        if (auto* delegate = delegate_.load()) delegate->audioPlayerErrorDidOccur(path());
        return 0;
    }
    if (got == 0) {
        stop();
        if (auto* delegate = delegate_.load()) delegate->audioPlayerDidEndSong(path());
        return 0;
    }
    return std::min(got, frames) * bytesPerFrame;
}

void AudioPlayer::outputDidFail() {
    stop();
    if (auto* delegate = delegate_.load()) delegate->audioPlayerErrorDidOccur(path());
}

}  // namespace lumetta::audio
