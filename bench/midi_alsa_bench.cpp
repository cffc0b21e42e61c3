// MIDI output benchmark of the ALSA service on the fake sequencer (no kernel here), with the
// in-process virtual service as the peer: what a send costs the calling (main) thread, and the
// throughput until every byte has reached the destination. The ALSA service queues each send
// for its sender thread; the virtual service hands the bytes over on the calling thread.
//
// Not measured: the jitter of time stamps from a sequencer queue against stamping on receipt,
// which needs a kernel sequencer and real devices.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "midi/alsa/AlsaMIDIService.h"
#include "midi/alsa/FakeSequencer.h"
#include "midi/virtual/VirtualMIDIService.h"

using namespace lumetta::midi;
using Clock = std::chrono::steady_clock;

namespace {

// Under the ALSA service's bound of 1 MiB waiting for one destination.
constexpr size_t kPieces = 1800;
constexpr size_t kPiece = 512;

class NullListener final : public MIDIServiceListener {
  public:
    void midiPacket(const MIDIPacket&, void*) override {}
    void midiObjectAdded(MIDIObjectKind, MIDIEndpointRef) override {}
    void midiObjectRemoved(MIDIObjectKind, MIDIEndpointRef) override {}
    void midiIOError(int32_t) override { ++errors; }
    std::atomic<int> errors{0};
};

struct Figures {
    double meanCallMicros = 0;
    double worstCallMicros = 0;
    double megabytesPerSecond = 0;
    bool complete = false;
};

std::vector<uint8_t> sysExPieces() {
    std::vector<uint8_t> bytes(kPieces * kPiece);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i % 0x7F);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    return bytes;
}

template <class Delivered>
Figures sendAll(MIDIService& service, MIDIEndpointRef destination,
                const std::vector<uint8_t>& bytes, Delivered delivered) {
    Figures figures;
    double total = 0;
    const auto start = Clock::now();
    for (size_t at = 0; at < bytes.size(); at += kPiece) {
        MIDIPacketList list;
        list.add(0, bytes.data() + at, kPiece);
        const auto before = Clock::now();
        service.send(destination, list);
        const double micros =
            std::chrono::duration<double, std::micro>(Clock::now() - before).count();
        total += micros;
        figures.worstCallMicros = std::max(figures.worstCallMicros, micros);
    }
    const auto limit = Clock::now() + std::chrono::seconds(60);
    while (delivered() < bytes.size() && Clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    figures.complete = delivered() >= bytes.size();
    figures.meanCallMicros = total / kPieces;
    figures.megabytesPerSecond = static_cast<double>(bytes.size()) / seconds / 1e6;
    return figures;
}

Figures alsaOnFake(const std::vector<uint8_t>& bytes) {
    auto system = testing::FakeSequencerSystem::create();
    const auto app = system->addSoftwarePort("Editor", "Editor In");
    auto opened = openAlsaMIDIService(system->open("bench"), system->clock());
    if (!opened) {
        std::fprintf(stderr, "ALSA service on the fake sequencer: %s\n",
                     opened.error().message.c_str());
        return {};
    }
    auto service = std::move(*opened);
    NullListener listener;
    service->start(listener);
    const auto destinations = service->destinations();
    const auto figures =
        sendAll(*service, destinations.at(0), bytes, [&] { return system->received(app).size(); });
    service->stop();
    return figures;
}

Figures virtualPeer(const std::vector<uint8_t>& bytes) {
    auto system = VirtualMIDISystem::create(false);
    std::atomic<size_t> received{0};
    const auto destination = system->addDestination(
        {"Editor In"}, [&](const MIDIPacket& packet) { received += packet.length; });
    auto service = system->openClient("bench");
    NullListener listener;
    service->start(listener);
    const auto figures = sendAll(*service, destination, bytes, [&] { return received.load(); });
    service->stop();
    return figures;
}

void print(const char* what, const Figures& f) {
    std::printf("  %-34s send() mean %7.2f us  worst %8.1f us  %7.1f MB/s%s\n", what,
                f.meanCallMicros, f.worstCallMicros, f.megabytesPerSecond,
                f.complete ? "" : "  (INCOMPLETE)");
}

}  // namespace

int main() {
    const auto bytes = sysExPieces();
    std::printf("MIDI output: %zu sends of %zu-byte SysEx pieces to a software port\n", kPieces,
                kPiece);
    const Figures alsa = alsaOnFake(bytes);
    const Figures peer = virtualPeer(bytes);
    print("ALSA service (fake sequencer)", alsa);
    print("virtual service (peer)", peer);
    if (peer.meanCallMicros > 0 && peer.megabytesPerSecond > 0)
        std::printf("  ratio ALSA/virtual: send() cost %.2f, throughput %.4f\n",
                    alsa.meanCallMicros / peer.meanCallMicros,
                    alsa.megabytesPerSecond / peer.megabytesPerSecond);
    return alsa.complete && peer.complete ? 0 : 1;
}
