// lumetta-devsim: a device on the network link, for working on a page without hardware and for
// the tests. It prints the device dictionary first (for a direct $$dlk_connect on this machine)
// and then one line per event.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Device.h"

namespace {

void usage() {
    std::fputs(
        "usage: lumetta-devsim [options]\n"
        "  --bind ADDR            address to listen and connect from (default 127.0.0.1)\n"
        "  --port N               link port (default: any free port)\n"
        "  --no-discovery         do not listen for announcements\n"
        "  --discovery-port N     UDP port for announcements (default 9314)\n"
        "  --name TEXT --model TEXT --number N --manufacturer TEXT --version TEXT\n"
        "  --caps N --image N --status N\n"
        "  --echo-cable N         echo MIDI on cable N (default: the cable it came on)\n"
        "  --status-interval MS   status frames every MS ms, 0 for none (default 100)\n"
        "  --keepalive-timeout N  tell the host this keep-alive time-out on connect\n"
        "  --no-keepalive         send no keep-alives\n"
        "  --tone HZ              input test tone (default 441)\n"
        "  --input-pace realtime|fast   (default realtime)\n"
        "  --output-pace realtime|fast  (default fast)\n"
        "  --output-wav PATH      write the output audio into this WAV file\n"
        "  --fault garbage|stall|midframe-close|absurd-length|bad-status|silent\n"
        "  --fault-after MS       when to commit the fault (default 300)\n"
        "  --reply-count N        answer each announcement N times (default 1)\n"
        "  --reply-bytes N        write only N bytes of the description (default 84)\n",
        stderr);
}

}  // namespace

int main(int argc, char** argv) {
    using lumetta::devsim::Fault;
    lumetta::devsim::Options o;
    o.description.number = 0x00000001;
    o.description.caps = 0x07;
    o.description.image = 1;
    o.description.status = 0;
    o.description.manufacturer = "Lumetta";
    o.description.model = "DEVSIM";
    o.description.version = "1.0";
    o.description.name = "Simulated Device";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        auto number = [&]() { return std::strtoul(next().c_str(), nullptr, 0); };
        if (a == "--bind")
            o.bindAddress = next();
        else if (a == "--port")
            o.description.portNo = static_cast<uint16_t>(number());
        else if (a == "--no-discovery")
            o.discovery = false;
        else if (a == "--discovery-port")
            o.discoveryPort = static_cast<uint16_t>(number());
        else if (a == "--name")
            o.description.name = next();
        else if (a == "--model")
            o.description.model = next();
        else if (a == "--number")
            o.description.number = static_cast<uint32_t>(number());
        else if (a == "--manufacturer")
            o.description.manufacturer = next();
        else if (a == "--version")
            o.description.version = next();
        else if (a == "--caps")
            o.description.caps = static_cast<uint8_t>(number());
        else if (a == "--image")
            o.description.image = static_cast<uint8_t>(number());
        else if (a == "--status")
            o.description.status = static_cast<uint8_t>(number());
        else if (a == "--echo-cable")
            o.echoCable = static_cast<int>(number());
        else if (a == "--status-interval")
            o.statusIntervalMs = static_cast<int>(number());
        else if (a == "--keepalive-timeout")
            o.keepAliveTimeout = static_cast<int>(number());
        else if (a == "--no-keepalive")
            o.keepAlives = false;
        else if (a == "--tone")
            o.toneHz = std::strtod(next().c_str(), nullptr);
        else if (a == "--input-pace")
            o.realtimeInput = next() != "fast";
        else if (a == "--output-pace")
            o.realtimeOutput = next() == "realtime";
        else if (a == "--output-wav")
            o.outputWav = next();
        else if (a == "--reply-count")
            o.replyCount = static_cast<int>(number());
        else if (a == "--reply-bytes")
            o.replyBytes = static_cast<int>(number());
        else if (a == "--fault-after")
            o.faultAfterMs = static_cast<int>(number());
        else if (a == "--fault") {
            std::string f = next();
            if (f == "garbage")
                o.fault = Fault::garbage;
            else if (f == "stall")
                o.fault = Fault::stall;
            else if (f == "midframe-close")
                o.fault = Fault::midframeClose;
            else if (f == "absurd-length")
                o.fault = Fault::absurdLength;
            else if (f == "bad-status")
                o.fault = Fault::badStatus;
            else if (f == "silent")
                o.fault = Fault::silent;
            else {
                usage();
                return 2;
            }
        } else {
            usage();
            return a == "--help" || a == "-h" ? 0 : 2;
        }
    }
    return lumetta::devsim::runDevice(o);
}
