#pragma once

#include <memory>
#include <string>

#include "host/kernel/registry_store.h"

// The registry store a subcommand plugs the camera in with: the file given
// by --registry, else registry.reg under $XDG_STATE_HOME/quelvixcam (or
// ~/.local/state/quelvixcam), whose directory is made when missing. The
// camera's settings live there between runs, as they would in the registry.

// The default store file.
std::string DefaultRegistryPath();

// How long a run waits for another quelvixcam run to let go of the store
// before it gives up: QUELVIXCAM_REGISTRY_WAIT seconds, else this.
constexpr int kDefaultRegistryWaitSeconds = 10;

// The wait in milliseconds; -1 after printing one error line when
// QUELVIXCAM_REGISTRY_WAIT is not a number of seconds.
int RegistryWaitMilliseconds(const char* tool);

// Opens and locks the store for as long as it is open, or prints one error
// line naming the file (prefixed with `tool`) and returns null: the file is
// held by another run past the wait (the line names that run), cannot be
// read, or cannot be parsed. A file that cannot be parsed is left untouched.
std::unique_ptr<hostk::RegistryStore> OpenRegistryStore(const char* tool, const std::string& path);

// Writes what is unsaved; prints one error line and returns false when the
// store could not be saved (now or by an earlier lazy save).
bool CloseRegistryStore(const char* tool, hostk::RegistryStore* store);
