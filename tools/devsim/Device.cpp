#include "Device.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Tone.h"
#include "base/raii/UniqueFd.h"
#include "link/DLKFrame.h"

namespace lumetta::devsim {

namespace {

using raii::UniqueFd;
using namespace lumetta::link;

volatile sig_atomic_t gStop = 0;
constexpr int64_t kBytesPerSecond = 44100 * 4;

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void noDelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Connects (blocking, from `bind` when given); later reads and writes never block.
UniqueFd connectTo(uint32_t address, uint16_t port, const std::string& bind) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return {};
    if (!bind.empty() && bind != "0.0.0.0") {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, bind.c_str(), &local.sin_addr);
        ::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(address);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return {};
    noDelay(fd.get());
    return fd;
}

// Sends what the socket takes now; false when the peer is gone.
bool flush(int fd, std::vector<uint8_t>& out) {
    while (!out.empty()) {
        ssize_t n = ::send(fd, out.data(), out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            out.erase(out.begin(), out.begin() + n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return true;
        } else {
            return false;
        }
    }
    return true;
}

// A WAV file of 16-bit stereo 44.1 kHz PCM whose sizes are filled in when it closes.
class WavWriter {
  public:
    bool open(const std::string& path) {
        file_ = std::fopen(path.c_str(), "wb");
        if (!file_) return false;
        uint8_t header[44] = {};
        std::fwrite(header, 1, sizeof header, file_);
        bytes_ = 0;
        return true;
    }
    void write(const uint8_t* data, size_t size) {
        if (file_) bytes_ += std::fwrite(data, 1, size, file_);
    }
    void close() {
        if (!file_) return;
        uint8_t h[44];
        auto le32 = [](uint8_t* p, uint32_t v) {
            for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
        };
        std::memcpy(h, "RIFF", 4);
        le32(h + 4, static_cast<uint32_t>(36 + bytes_));
        std::memcpy(h + 8, "WAVEfmt ", 8);
        le32(h + 16, 16);
        h[20] = 1, h[21] = 0, h[22] = 2, h[23] = 0;  // PCM, 2 channels
        le32(h + 24, 44100);
        le32(h + 28, 44100 * 4);
        h[32] = 4, h[33] = 0, h[34] = 16, h[35] = 0;
        std::memcpy(h + 36, "data", 4);
        le32(h + 40, static_cast<uint32_t>(bytes_));
        std::fseek(file_, 0, SEEK_SET);
        std::fwrite(h, 1, sizeof h, file_);
        std::fclose(file_);
        file_ = nullptr;
    }
    ~WavWriter() { close(); }

  private:
    FILE* file_ = nullptr;
    uint64_t bytes_ = 0;
};

class Simulator final : public DLKFrameReader::Handler {
  public:
    // The device's clock starts at one second, so no time stamp it sends reads as "none" (0).
    explicit Simulator(const Options& o) : o_(o), started_(nowNs() - 1000000000) {}

    bool listen() {
        listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        int one = 1;
        ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(o_.description.portNo);
        if (::inet_pton(AF_INET, o_.bindAddress.c_str(), &addr.sin_addr) != 1) return false;
        socklen_t len = sizeof addr;
        if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listener_.get(), 4) != 0 ||
            ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            std::perror("devsim: link port");
            return false;
        }
        description_ = o_.description;
        description_.portNo = ntohs(addr.sin_port);
        if (o_.discovery) {
            udp_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            ::setsockopt(udp_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            sockaddr_in any{};
            any.sin_family = AF_INET;
            any.sin_port = htons(o_.discoveryPort);
            // Broadcasts only reach a socket bound to any address.
            if (::bind(udp_.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
                std::perror("devsim: discovery port");
                return false;
            }
        }
        return true;
    }

    const DLKDeviceDescription& description() const { return description_; }

    void run() {
        while (!gStop) {
            std::vector<pollfd> fds;
            auto add = [&](int fd, short events) {
                if (fd >= 0) fds.push_back({fd, events, 0});
            };
            add(listener_.get(), POLLIN);
            add(udp_.get(), POLLIN);
            add(control_.get(), static_cast<short>(POLLIN | (controlOut_.empty() ? 0 : POLLOUT)));
            // A full play buffer waits for playing to make room; polling it would spin.
            if (output_ && !outputPaused_ &&
                (!o_.realtimeOutput || outputFifo_ < kBytesPerSecond / 4))
                add(output_.get(), POLLIN);
            if (input_ && !inputPaused_ && !o_.realtimeInput) add(input_.get(), POLLOUT);
            ::poll(fds.data(), fds.size(), 5);
            for (auto& p : fds) {
                if (!p.revents) continue;
                if (p.fd == listener_.get())
                    acceptControl();
                else if (p.fd == udp_.get())
                    readAnnouncement();
                else if (p.fd == control_.get())
                    controlReady(p.revents);
                else if (p.fd == output_.get())
                    readOutput();
                else if (p.fd == input_.get())
                    writeInput();
            }
            tick();
        }
        closeControl("control-closed");
    }

    bool frameReceived(uint8_t type, uint8_t sub, const uint8_t* payload, size_t length) override {
        if (type == kDLKFrameControl && sub == 0) {
            say("keepalive");
            return true;
        }
        say("frame %u %u %s", type, sub, hexText(payload, length).c_str());
        if (type == kDLKFrameControl && sub == 1 && length >= 1) {
            hostTimeout_ = payload[0];
            // Answer with the value we now use, so both ends agree.
            queueControl(DLKControlFrame(kDLKFrameControl, 1).u8(payload[0]));
        } else if (type == kDLKFrameMIDI) {
            echoMidi(payload, length);
        } else if (type == kDLKFrameAudio) {
            audioControl(sub, payload, length);
        }
        return true;
    }

  private:
    uint32_t clockMs() const { return static_cast<uint32_t>((nowNs() - started_) / 1000000); }

    void queue(const uint8_t* bytes, size_t size) {
        controlOut_.insert(controlOut_.end(), bytes, bytes + size);
    }
    void queueControl(const DLKControlFrame& f) { queue(f.data(), f.size); }
    void timeStamp(uint8_t which) {
        queueControl(DLKControlFrame(kDLKFrameTimeStamp, which).u32(clockMs()));
    }

    void acceptControl() {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        UniqueFd fd(::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &len,
                              SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) return;
        if (control_) closeControl("control-replaced");
        noDelay(fd.get());
        control_ = std::move(fd);
        host_ = ntohl(peer.sin_addr.s_addr);
        controlOut_.clear();
        reader_.reset();
        silent_ = faultDone_ = false;
        hostTimeout_ = 3;
        openedAt_ = lastFromHost_ = lastKeepAlive_ = lastStatus_ = nowNs();
        say("control-connected %s", dottedAddress(host_).c_str());
        timeStamp(0);
        if (o_.keepAliveTimeout >= 0) {
            hostTimeout_ = o_.keepAliveTimeout;
            queueControl(DLKControlFrame(kDLKFrameControl, 1).u8(uint8_t(o_.keepAliveTimeout)));
        }
    }

    void closeControl(const char* why) {
        if (!control_) return;
        control_.reset();
        controlOut_.clear();
        say("%s", why);
        closeOutput();
        closeInput();
    }

    void controlReady(short revents) {
        if (revents & POLLOUT) {
            if (!flush(control_.get(), controlOut_)) return closeControl("control-closed");
        }
        if (revents & (POLLIN | POLLHUP | POLLERR)) {
            uint8_t buffer[16384];
            ssize_t n = ::recv(control_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                return closeControl("control-closed");
            if (n < 0) return;
            lastFromHost_ = nowNs();
            if (reader_.feed(buffer, size_t(n), *this) != DLKFrameReader::Outcome::ok)
                closeControl("control-bad-frame");
        }
    }

    void echoMidi(const uint8_t* payload, size_t length) {
        if (silent_) return;
        std::vector<uint8_t> frame =
            encodeFrame(kDLKFrameMIDI, 0, std::vector<uint8_t>(payload, payload + length));
        if (length >= 4) putBE32(&frame[4], clockMs());
        if (o_.echoCable >= 0)
            for (size_t at = 8; at + 4 <= frame.size(); at += 4)
                frame[at] = static_cast<uint8_t>(((o_.echoCable & 15) << 4) | (frame[at] & 15));
        queue(frame.data(), frame.size());
        flush(control_.get(), controlOut_);
    }

    void audioControl(uint8_t sub, const uint8_t* payload, size_t length) {
        const uint16_t port = length >= 2 ? getBE16(payload) : 0;
        switch (sub) {
            case kDLKStartOutput:
                if (outputPaused_ && output_) {
                    outputPaused_ = false;
                    outputClock_ = nowNs() - outputPlayed_ * 1000000000 / kBytesPerSecond;
                    status_.output.status = 1;
                    break;
                }
                closeOutput();
                output_ = connectTo(host_, port, o_.bindAddress);
                if (!output_) {
                    say("output-connect-failed %u", port);
                    break;
                }
                outputBytes_ = outputPlayed_ = outputFifo_ = 0;
                underruns_ = 0;
                outputClock_ = nowNs();
                outputPaused_ = false;
                if (!o_.outputWav.empty()) wav_.open(o_.outputWav);
                status_.output.status = 1;
                timeStamp(1);
                say("output-connected %u", port);
                break;
            case kDLKPauseOutput:
                outputPaused_ = true;
                status_.output.status = 2;
                break;
            case kDLKStopOutput:
                closeOutput();
                timeStamp(2);
                break;
            case kDLKStartInput:
                if (inputPaused_ && input_) {
                    inputPaused_ = false;
                    inputClock_ = nowNs() - inputBytes_ * 1000000000 / kBytesPerSecond;
                    status_.input.status = 1;
                    break;
                }
                closeInput();
                input_ = connectTo(host_, port, o_.bindAddress);
                if (!input_) {
                    say("input-connect-failed %u", port);
                    break;
                }
                inputBytes_ = 0;
                inputClock_ = nowNs();
                inputPaused_ = false;
                status_.input.status = 1;
                timeStamp(3);
                say("input-connected %u", port);
                break;
            case kDLKPauseInput:
                inputPaused_ = true;
                status_.input.status = 2;
                break;
            case kDLKStopInput:
                closeInput();
                timeStamp(4);
                break;
            case kDLKOutputVolume:
                if (length >= 1) status_.output.volume = payload[0];
                break;
            case kDLKInputVolume:
                if (length >= 1) status_.input.volume = payload[0];
                break;
            default:
                break;
        }
    }

    void closeOutput() {
        if (!output_) return;
        // What is still in flight belongs to the stream.
        readOutput();
        output_.reset();
        wav_.close();
        status_.output.status = 0;
        say("output-closed %llu %d", static_cast<unsigned long long>(outputBytes_), underruns_);
    }

    void closeInput() {
        if (!input_) return;
        input_.reset();
        status_.input.status = 0;
        say("input-closed %llu", static_cast<unsigned long long>(inputBytes_));
    }

    void readOutput() {
        if (!output_) return;
        uint8_t buffer[65536];
        for (;;) {
            // Playing in real time holds at most a quarter second in the device's buffer.
            size_t room = sizeof buffer;
            if (o_.realtimeOutput) {
                int64_t free = kBytesPerSecond / 4 - outputFifo_;
                if (free <= 0) return;
                room = std::min<size_t>(room, size_t(free));
            }
            ssize_t n = ::recv(output_.get(), buffer, room, MSG_DONTWAIT);
            if (n > 0) {
                wav_.write(buffer, size_t(n));
                outputBytes_ += uint64_t(n);
                outputFifo_ += n;
                if (!o_.realtimeOutput) outputPlayed_ = outputBytes_, outputFifo_ = 0;
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
            // The host ended the stream.
            output_.reset();
            wav_.close();
            status_.output.status = 0;
            say("output-closed %llu %d", static_cast<unsigned long long>(outputBytes_), underruns_);
            return;
        }
    }

    // Plays the output in real time, counting every moment the buffer ran dry.
    void playOutput() {
        if (!output_ || outputPaused_ || !o_.realtimeOutput) return;
        int64_t due = (nowNs() - outputClock_) * kBytesPerSecond / 1000000000 & ~int64_t{3};
        int64_t want = due - outputPlayed_;
        if (want <= 0) return;
        if (want > outputFifo_) {
            if (outputBytes_ > 0) {
                ++underruns_;
                say("output-underrun %lld", static_cast<long long>(want - outputFifo_));
            }
            want = outputFifo_;
            outputClock_ = nowNs() - (outputPlayed_ + want) * 1000000000 / kBytesPerSecond;
        }
        outputPlayed_ += want;
        outputFifo_ -= want;
    }

    void writeInput() {
        if (!input_ || inputPaused_) return;
        // Fast input still yields to the control connection between rounds.
        int64_t limit = int64_t(inputBytes_) + 65536;
        if (o_.realtimeInput)
            limit = (nowNs() - inputClock_) * kBytesPerSecond / 1000000000 & ~int64_t{3};
        const uint32_t period = tonePeriod(o_.toneHz);
        uint8_t chunk[16384];
        while (int64_t(inputBytes_) < limit) {
            size_t n = size_t(std::min<int64_t>(sizeof chunk, limit - int64_t(inputBytes_)));
            for (size_t i = 0; i < n; ++i) chunk[i] = toneByte(inputBytes_ + i, period);
            ssize_t sent = ::send(input_.get(), chunk, n, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent > 0) {
                inputBytes_ += uint64_t(sent);
                continue;
            }
            if (sent < 0 && (errno == EAGAIN || errno == EINTR)) return;
            input_.reset();
            status_.input.status = 0;
            say("input-closed %llu", static_cast<unsigned long long>(inputBytes_));
            return;
        }
    }

    void commitFault() {
        faultDone_ = true;
        static const uint8_t halfFrame[] = {2, 0, 0, 12, 0, 0, 3};
        switch (o_.fault) {
            case Fault::none:
                return;
            case Fault::garbage: {
                uint32_t seed = 12345;
                std::vector<uint8_t> junk(4096);
                for (auto& b : junk) b = uint8_t((seed = seed * 1103515245 + 12345) >> 16);
                queue(junk.data(), junk.size());
                // Anything valid sent after it would only be read as more garbage.
                silent_ = true;
                break;
            }
            case Fault::stall:
                queue(halfFrame, sizeof halfFrame);
                silent_ = true;
                break;
            case Fault::midframeClose:
                queue(halfFrame, sizeof halfFrame);
                flush(control_.get(), controlOut_);
                say("fault midframe-close");
                return closeControl("control-closed");
            case Fault::absurdLength: {
                static const uint8_t absurd[] = {2, 0, 0xFF, 0xFF, 0, 0, 0, 0};
                queue(absurd, sizeof absurd);
                break;
            }
            case Fault::badStatus: {
                std::vector<uint8_t> bad =
                    encodeFrame(kDLKFrameStatus, 0, std::vector<uint8_t>(16));
                queue(bad.data(), bad.size());
                break;
            }
            case Fault::silent:
                silent_ = true;
                break;
        }
        say("fault committed");
    }

    void tick() {
        const int64_t now = nowNs();
        playOutput();
        if (o_.realtimeInput) writeInput();
        if (!control_) return;
        if (o_.fault != Fault::none && !faultDone_ &&
            now - openedAt_ >= o_.faultAfterMs * 1000000LL)
            commitFault();
        if (!control_) return;
        if (hostTimeout_ > 0 && now - lastFromHost_ > (hostTimeout_ + 1) * 1000000000LL)
            return closeControl("host-silent");
        if (!silent_ && o_.keepAlives && now - lastKeepAlive_ >= 1000000000LL) {
            lastKeepAlive_ = now;
            queueControl(DLKControlFrame(kDLKFrameControl, 0));
        }
        if (!silent_ && o_.statusIntervalMs > 0 &&
            now - lastStatus_ >= o_.statusIntervalMs * 1000000LL) {
            lastStatus_ = now;
            ++statusCount_;
            auto meter = [&](bool on, int step) {
                return static_cast<int8_t>(on ? -int((statusCount_ * step) % 40) : -120);
            };
            status_.output.peakPowerL = meter(bool(output_), 3);
            status_.output.peakPowerR = meter(bool(output_), 5);
            status_.input.peakPowerL = meter(bool(input_), 2);
            status_.input.peakPowerR = meter(bool(input_), 7);
            status_.output.frame = uint32_t(outputPlayed_ / 4);
            status_.input.frame = uint32_t(inputBytes_ / 4);
            uint8_t record[KNP_AUDIO_STATUS::kWireSize];
            status_.toBytes(record);
            auto frame = encodeFrame(kDLKFrameStatus, 0, std::vector<uint8_t>(record, record + 32));
            queue(frame.data(), frame.size());
        }
        if (!controlOut_.empty() && !flush(control_.get(), controlOut_))
            closeControl("control-closed");
    }

    void readAnnouncement() {
        uint8_t bytes[64];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(udp_.get(), bytes, sizeof bytes, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &len);
        if (n <= 0) return;
        auto port = parseAnnouncement(bytes, size_t(n));
        const uint32_t host = ntohl(from.sin_addr.s_addr);
        if (!port) {
            say("announce-ignored %s", dottedAddress(host).c_str());
            return;
        }
        say("announce %s %u", dottedAddress(host).c_str(), *port);
        for (int r = 0; r < o_.replyCount; ++r) {
            UniqueFd reply = connectTo(host, *port, o_.bindAddress);
            if (!reply) {
                say("reply-failed");
                return;
            }
            auto d = description_.toBytes();
            std::vector<uint8_t> out(d.begin(), d.begin() + std::clamp(o_.replyBytes, 0, 84));
            // A fresh connection takes 84 bytes at once; a short wait covers the rest.
            for (int i = 0; i < 100 && !out.empty(); ++i) {
                if (!flush(reply.get(), out)) break;
                if (!out.empty()) ::poll(nullptr, 0, 10);
            }
        }
        say("replied");
    }

    const Options& o_;
    DLKDeviceDescription description_;
    int64_t started_;
    UniqueFd listener_, udp_, control_, output_, input_;
    std::vector<uint8_t> controlOut_;
    DLKFrameReader reader_;
    uint32_t host_ = 0;
    int hostTimeout_ = 3;
    bool silent_ = false, faultDone_ = false;
    int64_t openedAt_ = 0, lastFromHost_ = 0, lastKeepAlive_ = 0, lastStatus_ = 0;
    uint64_t statusCount_ = 0;
    KNP_AUDIO_STATUS status_;
    WavWriter wav_;
    bool outputPaused_ = false, inputPaused_ = false;
    uint64_t outputBytes_ = 0;
    int64_t outputPlayed_ = 0, outputFifo_ = 0, outputClock_ = 0;
    int underruns_ = 0;
    uint64_t inputBytes_ = 0;
    int64_t inputClock_ = 0;
};

void onSignal(int) {
    gStop = 1;
}

}  // namespace

int runDevice(const Options& options) {
    struct sigaction action {};
    action.sa_handler = onSignal;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    Simulator sim(options);
    if (!sim.listen()) return 1;
    std::string address = options.bindAddress == "0.0.0.0" ? "127.0.0.1" : options.bindAddress;
    in_addr a{};
    ::inet_pton(AF_INET, address.c_str(), &a);
    // First line: the dictionary to hand to $$dlk_connect for a direct connection.
    say("%s", deviceDictionary(sim.description(), ntohl(a.s_addr)).dump().c_str());
    sim.run();
    return 0;
}

}  // namespace lumetta::devsim
