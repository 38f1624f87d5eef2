// Fault injection settings of the simulated camera. The camera holds one
// FaultPlan under its lock and applies it where the fault bites; the public
// API is on SimulatedCamera (thread-safe).
#pragma once

#include <cstdint>

#include "host/usb/usb_device.h"

namespace sim {

// What happens to the reply pair of the next QueryStatus.
enum class ReplyFault {
    kNone,
    kDropBoth,    // the camera answers nothing: reads on pipe 1 stay pending
    kDropSecond,  // only the first packet is sent
    kShorten,     // one packet is cut to shortBytes
};

struct FaultPlan {
    // Unplug when this many more requests have been answered (-1: never).
    int64_t unplugAfterRequests = -1;
    // Unplug once this many more frames have been sent whole (-1: never).
    int64_t unplugAfterFrames = -1;

    ReplyFault replyFault = ReplyFault::kNone;
    uint32_t replyFaultCount = 0;   // QueryStatus commands still to affect
    uint32_t replyShortBytes = 0;   // kShorten: bytes the packet keeps
    int replyShortPacket = 1;       // kShorten: 0 first packet, 1 second

    // Frame chunk failure: transfer number failChunkIndex (0-based, in the
    // order the frame's transfers are served) of each of the next
    // failChunkFrames frames completes with failChunkStatus and no bytes.
    uint32_t failChunkIndex = 0;
    uint32_t failChunkFrames = 0;
    uint32_t failChunkStatus = hostusb::kUsbdDevNotResponding;

    bool sendNothing = false;  // frame requests are ignored

    // Command packets on pipe 0 are refused: with rejectShortBytes == 0 the
    // transfer fails with rejectStatus; otherwise it succeeds having moved
    // only that many bytes. Either way the command is not carried out.
    bool rejectCommands = false;
    uint32_t rejectStatus = hostusb::kUsbdStallPid;
    uint32_t rejectShortBytes = 0;

    // The next hangRequests transfers on pipe 0 or 1 never complete on their
    // own; only CancelBulk (or unplug, deconfigure) ends them.
    uint32_t hangRequests = 0;
};

}  // namespace sim
