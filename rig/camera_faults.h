// Named camera faults, NAME[=ARG] as `quelvixcam --camera-fault` takes them:
// a way to state how the simulated camera misbehaves in one line of text,
// checked before the camera is touched. Most are set on the camera before it
// is plugged in; a stall only bites on a configured camera (a configuration
// clears every halt, as SET_CONFIGURATION does), so it is set once started.
#pragma once

#include <string>
#include <vector>

#include "sim/simulated_camera.h"

namespace rig {

struct CameraFault {
    std::string name;
    std::string argument;  // empty when none was given
};

// Parses NAME[=ARG] and checks its argument; false with one error message
// that names the option ("--camera-fault stall takes a pipe: ...").
bool ParseCameraFault(const std::string& text, CameraFault* fault, std::string* error);

// Sets the faults on a camera not yet plugged in; false with one error
// message (a descriptor file that cannot be read).
bool ApplyCameraFaults(const std::vector<CameraFault>& faults, sim::SimulatedCamera& camera, std::string* error);
// The faults that only bite on a configured camera: set once it started.
void ApplyCameraFaultsOnceStarted(const std::vector<CameraFault>& faults, sim::SimulatedCamera& camera);

}  // namespace rig
