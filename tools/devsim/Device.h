#pragma once

// A device on the link, simulated: it answers discovery, holds the control connection, echoes
// MIDI, reports status, and moves audio both ways. One thread, one poll() loop.

#include <cstdint>
#include <string>

#include "link/DLKDescription.h"

namespace lumetta::devsim {

/// Faults the simulator can commit on the control connection, a moment after it opens.
enum class Fault {
    none,
    garbage,        ///< random bytes
    stall,          ///< half a frame, then nothing at all
    midframeClose,  ///< half a frame, then close
    absurdLength,   ///< a header announcing 65,535 bytes
    badStatus,      ///< a status frame of 16 bytes
    silent,         ///< stops sending anything, keep-alives included
};

struct Options {
    link::DLKDeviceDescription description;
    std::string bindAddress = "127.0.0.1";
    bool discovery = true;
    uint16_t discoveryPort = link::kDLKDiscoveryPort;
    int echoCable = -1;          ///< -1: echo on the cable it came on
    int statusIntervalMs = 100;  ///< 0: no status frames
    int keepAliveTimeout = -1;   ///< >= 0: sent to the host on connect (frame 0/1)
    bool keepAlives = true;
    double toneHz = 441.0;
    bool realtimeInput = true;
    bool realtimeOutput = false;
    std::string outputWav;
    int replyCount = 1;   ///< descriptions written per announcement
    int replyBytes = 84;  ///< bytes of the description written (fewer: a short reply)
    Fault fault = Fault::none;
    int faultAfterMs = 300;
};

/// Runs the device until SIGTERM/SIGINT; prints one line per event on stdout. Returns the exit
/// status.
int runDevice(const Options& options);

}  // namespace lumetta::devsim
