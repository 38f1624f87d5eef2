#include "camera_faults.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "host/kernel/pool.h"
#include "sim/descriptors.h"

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

namespace {

enum class Argument { kNone, kOptional, kRequired };

struct FaultKind {
    const char* name;
    Argument argument;
};

const FaultKind kKinds[] = {
    {"unplug-after-frames", Argument::kRequired}, {"unplug-after-requests", Argument::kRequired},
    {"stall", Argument::kRequired},               {"disable-port", Argument::kNone},
    {"reply-drop", Argument::kOptional},          {"reply-drop-second", Argument::kOptional},
    {"reply-short", Argument::kRequired},         {"fail-chunk", Argument::kRequired},
    {"frame-timeout", Argument::kNone},           {"reject-commands", Argument::kOptional},
    {"hang-requests", Argument::kRequired},       {"descriptors", Argument::kRequired},
};

// A whole decimal number from 0 to `maximum`.
bool ParseCount(const std::string& text, unsigned long maximum, uint32_t* value) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long parsed = std::strtoul(text.c_str(), &end, 10);
    if (errno || *end || parsed > maximum) return false;
    *value = static_cast<uint32_t>(parsed);
    return true;
}

// Checks the argument of a known fault; the message names what it takes.
bool CheckArgument(const CameraFault& fault, std::string* error) {
    uint32_t a = 0, b = 0;
    const std::string& arg = fault.argument;
    bool ok = true;
    std::string wants;
    if (fault.name == "stall") {
        ok = ParseCount(arg, 2, &a), wants = "a pipe: 0, 1 or 2";
    } else if (fault.name == "reply-short") {
        ok = ParseCount(arg, 63, &a), wants = "a byte count from 0 to 63";
    } else if (fault.name == "fail-chunk") {
        size_t comma = arg.find(',');
        ok = ParseCount(arg.substr(0, comma), 1000, &a) &&
             (comma == std::string::npos || (ParseCount(arg.substr(comma + 1), 1000000, &b) && b > 0));
        wants = "K[,FRAMES]: a transfer from 0 to 1000 and a frame count from 1";
    } else if (fault.name == "reject-commands") {
        ok = arg.empty() || (ParseCount(arg, 63, &a) && a > 0), wants = "a byte count from 1 to 63";
    } else if (fault.name == "descriptors") {
        ok = !arg.empty(), wants = "a FILE";
    } else if (!arg.empty() || fault.name.compare(0, 6, "unplug") == 0 || fault.name == "hang-requests") {
        ok = ParseCount(arg, 1000000000, &a), wants = "a whole number from 0 to 1000000000";
    }
    if (!ok) *error = "--camera-fault " + fault.name + " takes " + wants + ", not '" + arg + "'";
    return ok;
}

uint32_t Count(const std::string& text, uint32_t otherwise) {
    return text.empty() ? otherwise : static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
}

}  // namespace

bool ParseCameraFault(const std::string& text, CameraFault* fault, std::string* error) {
    size_t equals = text.find('=');
    fault->name = text.substr(0, equals);
    fault->argument = equals == std::string::npos ? "" : text.substr(equals + 1);
    for (const FaultKind& kind : kKinds) {
        if (fault->name != kind.name) continue;
        if (kind.argument == Argument::kNone && equals != std::string::npos) {
            *error = "--camera-fault " + fault->name + " takes no argument";
            return false;
        }
        if (kind.argument == Argument::kRequired && equals == std::string::npos) {
            *error = "--camera-fault " + fault->name + " needs =ARG";
            return false;
        }
        return CheckArgument(*fault, error);
    }
    *error = "unknown camera fault '" + fault->name + "' (quelvixcam COMMAND --help lists them)";
    return false;
}

int TakeCameraFaultOption(const char* tool, int argc, char** argv, int* i, std::vector<CameraFault>* faults) {
    if (std::strcmp(argv[*i], "--camera-fault") != 0) return 0;
    if (*i + 1 >= argc) {
        std::fprintf(stderr, "%s: --camera-fault needs NAME[=ARG]\n", tool);
        return 2;
    }
    CameraFault fault;
    std::string error;
    if (!ParseCameraFault(argv[++*i], &fault, &error)) {
        std::fprintf(stderr, "%s: %s\n", tool, error.c_str());
        return 2;
    }
    faults->push_back(fault);
    return 1;
}

bool ApplyCameraFaults(const std::vector<CameraFault>& faults, sim::SimulatedCamera& camera, std::string* error) {
    for (const CameraFault& f : faults) {
        const std::string& arg = f.argument;
        if (f.name == "unplug-after-frames") {
            camera.UnplugAfterFrames(Count(arg, 0));
        } else if (f.name == "unplug-after-requests") {
            camera.UnplugAfterRequests(Count(arg, 0));
        } else if (f.name == "disable-port") {
            camera.DisablePort();
        } else if (f.name == "reply-drop") {
            camera.SetReplyFault(sim::ReplyFault::kDropBoth, Count(arg, 1));
        } else if (f.name == "reply-drop-second") {
            camera.SetReplyFault(sim::ReplyFault::kDropSecond, Count(arg, 1));
        } else if (f.name == "reply-short") {
            camera.SetReplyFault(sim::ReplyFault::kShorten, 1, Count(arg, 0), 1);
        } else if (f.name == "fail-chunk") {
            size_t comma = arg.find(',');
            camera.FailFrameChunk(Count(arg.substr(0, comma), 0),
                                  comma == std::string::npos ? 1 : Count(arg.substr(comma + 1), 1));
        } else if (f.name == "frame-timeout") {
            camera.SetSendNothing(true);
        } else if (f.name == "reject-commands") {
            camera.RejectCommands(true, hostusb::kUsbdStallPid, Count(arg, 0));
        } else if (f.name == "hang-requests") {
            camera.HangNextRequests(Count(arg, 0));
        } else if (f.name == "descriptors") {
            sim::DescriptorSet descriptors;
            if (!sim::ReadDescriptorFile(arg, &descriptors, error)) return false;
            camera.SetDescriptors(descriptors);
        }
    }
    return true;
}

void ApplyCameraFaultsOnceStarted(const std::vector<CameraFault>& faults, sim::SimulatedCamera& camera) {
    for (const CameraFault& f : faults) {
        if (f.name == "stall") camera.StallPipe(sim::EndpointAt(static_cast<int>(Count(f.argument, 0))).address);
    }
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
