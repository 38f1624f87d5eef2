#pragma once

#include <string>

#include "rig/plugged_camera.h"

// The registry store a subcommand plugs the camera in with: the file given
// by --registry, else registry.reg under $XDG_STATE_HOME/quelvixcam (or
// ~/.local/state/quelvixcam), whose directory is made when missing. The
// camera's settings live there between runs, as they would in the registry.

// The default store file.
std::string DefaultRegistryPath();

// The value of --registry: false after printing one line prefixed with
// `tool` when it is empty, which names no file (the settings would be kept
// nowhere and lost without a word).
bool CheckRegistryOption(const char* tool, const std::string& path);

// How long a run waits for another quelvixcam run to let go of the store
// before it gives up: QUELVIXCAM_REGISTRY_WAIT seconds, else this.
constexpr int kDefaultRegistryWaitSeconds = 10;

// The wait in milliseconds; -1 after printing one error line when
// QUELVIXCAM_REGISTRY_WAIT is not a number of seconds.
int RegistryWaitMilliseconds(const char* tool);

// Sets the rig to plug the camera in with the store at `path` (made ready:
// the default one's directory is made when missing), locked for as long as
// the rig has it open; false after printing one error line prefixed with
// `tool`. The rig's Make reports a store that is held by another run past
// the wait (the line names that run), cannot be read, or cannot be parsed;
// a file that cannot be parsed is left untouched.
bool UseRegistryStore(const char* tool, const std::string& path, rig::Options* options);
