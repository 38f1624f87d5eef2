// The life of a subcommand that streams or serves: the camera plugged in
// with the registry store, started, handed to the command's own work, then
// closed and unplugged (which saves the settings), and the driver checked
// for broken platform rules and pool left behind.
#pragma once

#include <functional>
#include <string>

#include "rig/plugged_camera.h"

// Runs `work` on the started camera and returns the exit status: work's
// own, else 1 after one error line (prefixed with `tool`) for a store that
// cannot be used, a start or close that failed or a platform rule broken,
// else kLeakExit for pool left behind (camera_faults.h).
int RunWithPluggedCamera(const char* tool, rig::Options options, const std::string& registry,
                         const std::function<int(rig::PluggedCamera&)>& work);
