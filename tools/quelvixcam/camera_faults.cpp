#include "tools/quelvixcam/camera_faults.h"

#include <cstdio>
#include <cstring>
#include <thread>

#include "host/kernel/pool.h"

const char kCameraFaultHelp[] =
    "  --camera-fault NAME[=ARG]  makes the simulated camera misbehave (repeatable):\n"
    "      unplug-after-frames=N    pulled out once N more frames were sent whole\n"
    "      unplug-after-requests=N  pulled out after answering N requests from plug-in\n"
    "                               (the firmware download is the first 378)\n"
    "      stall=PIPE               once started, pipe 0, 1 or 2 stalls until it is reset\n"
    "      disable-port             the port is disabled until the driver resets it\n"
    "      reply-drop[=TIMES]       the next status queries get no reply (default 1)\n"
    "      reply-drop-second[=TIMES]  ... only the first of their two reply packets\n"
    "      reply-short=BYTES        the next status query's second packet has BYTES bytes\n"
    "      fail-chunk=K[,FRAMES]    transfer K of the next frames (default 1) fails\n"
    "      frame-timeout            no frame ever comes (each read times out)\n"
    "      reject-commands[=BYTES]  command packets stall, or move only BYTES bytes\n"
    "      hang-requests=N          the next N command or reply transfers never finish\n"
    "      descriptors=FILE         the camera presents FILE's bytes as its descriptors:\n"
    "                               the 18-byte device descriptor, then the configuration\n";

int TakeCameraFaultOption(const char* tool, int argc, char** argv, int* i, std::vector<CameraFault>* faults) {
    if (std::strcmp(argv[*i], "--camera-fault") != 0) return 0;
    if (*i + 1 >= argc) {
        std::fprintf(stderr, "%s: --camera-fault needs NAME[=ARG]\n", tool);
        return 2;
    }
    CameraFault fault;
    std::string error;
    if (!rig::ParseCameraFault(argv[++*i], &fault, &error)) {
        std::fprintf(stderr, "%s: %s\n", tool, error.c_str());
        return 2;
    }
    faults->push_back(fault);
    return 1;
}

std::string StatusText(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    std::string out = text;
    switch (status) {
    case STATUS_DEVICE_DATA_ERROR: return out + ": the device's descriptors are not valid";
    case STATUS_NO_SUCH_DEVICE: return out + ": the device is gone";
    case STATUS_INSUFFICIENT_RESOURCES: return out + ": out of memory";
    case STATUS_IO_TIMEOUT: return out + ": the device did not answer";
    default: return out;
    }
}

FrameWait WaitForFrameOrUnplug(hostks::KsPin& pin, const sim::SimulatedCamera& camera, hostks::CompletedFrame* frame,
                               std::chrono::milliseconds timeout) {
    constexpr auto kSlice = std::chrono::milliseconds(50);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    // The removal is looked at before every wait, not only after one that
    // found no frame: with the camera gone the pin still hands back the last
    // picture again as fast as buffers come, so a wait may never come up empty.
    for (;;) {
        if (!camera.Plugged()) return FrameWait::kUnplugged;
        if (pin.WaitForFrame(frame, kSlice)) return FrameWait::kFrame;
        if (std::chrono::steady_clock::now() >= deadline) return FrameWait::kTimedOut;
    }
}

int CheckPoolAfterUnplug(const char* tool, int status) {
    std::vector<hostk::TagStats> live = hostk::PoolLiveTags();
    if (live.empty()) return status;
    std::fprintf(stderr, "%s: driver memory left after the last unplug:\n", tool);
    for (const hostk::TagStats& entry : live) {
        char tag[5];
        hostk::TagText(entry.tag, tag);
        std::fprintf(stderr, "%s:   tag '%s': %zu blocks, %zu bytes\n", tool, tag, entry.stats.liveBlocks,
                     entry.stats.liveBytes);
    }
    return kLeakExit;
}
