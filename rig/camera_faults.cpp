#include "rig/camera_faults.h"

#include <cerrno>
#include <cstdlib>

#include "sim/descriptors.h"

namespace rig {
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

}  // namespace rig
