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

// Opens the store, or prints one error line naming the file (prefixed with
// `tool`) and returns null. A file that cannot be parsed is left untouched.
std::unique_ptr<hostk::RegistryStore> OpenRegistryStore(const char* tool, const std::string& path);

// Writes what is unsaved; prints one error line and returns false when the
// store could not be saved (now or by an earlier lazy save).
bool CloseRegistryStore(const char* tool, hostk::RegistryStore* store);
