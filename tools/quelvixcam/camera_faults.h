// What every subcommand that plugs the camera in shares: the repeatable
// --camera-fault NAME[=ARG] option, which makes the simulated camera
// misbehave so that an integrator can rehearse what an application sees
// (the faults themselves are the rig's, rig/camera_faults.h), and the check
// of the driver's pool after the last unplug.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "host/ks/ks_client.h"
#include "rig/camera_faults.h"
#include "sim/simulated_camera.h"

using rig::CameraFault;

// The lines --help prints for the option.
extern const char kCameraFaultHelp[];

// Takes "--camera-fault" and its value at argv[*i] (advancing *i), parsed
// into `faults`. Returns 0 when argv[*i] is not that option, 1 when it was
// taken, or the usage exit status 2 after printing one error line.
int TakeCameraFaultOption(const char* tool, int argc, char** argv, int* i, std::vector<CameraFault>* faults);

// "0xC000009C: the device's descriptors are not valid" for a status a user meets.
std::string StatusText(NTSTATUS status);

enum class FrameWait { kFrame, kTimedOut, kUnplugged };

// Waits up to `timeout` for the pin's next frame, giving up at once when the
// camera has been pulled out: an application is told of a removal, it does
// not sit out a timeout.
FrameWait WaitForFrameOrUnplug(hostks::KsPin& pin, const sim::SimulatedCamera& camera, hostks::CompletedFrame* frame,
                               std::chrono::milliseconds timeout);

// The exit status a leak gives: as Driver Verifier stops the machine when a
// driver unloads with pool still allocated.
constexpr int kLeakExit = 3;

// After the last unplug: prints every tag with live blocks (one line each,
// prefixed with `tool`) and returns kLeakExit, or returns `status` when the
// driver left nothing behind.
int CheckPoolAfterUnplug(const char* tool, int status);
