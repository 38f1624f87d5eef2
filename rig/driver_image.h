// Which driver the rig plugs in: the host build of the driver linked into
// this program, or the Windows image we ship (QuelvixZ51RDS.sys), loaded into
// the process and bound to the same host platform. The image is chosen with
// UseDriverImage (quelvixcam --driver-image) or with QUELVIX_DRIVER_IMAGE=PATH
// in the environment; it is loaded once and stays for the life of the
// process, as a loaded driver stays while devices may still call it.
#pragma once

#include <string>

#include "host/wdk_host.h"

namespace rig {

// Loads the image at `path` for every later plug-in. False with a sentence in
// *error when it cannot be loaded, or when another image is already in use.
bool UseDriverImage(const std::string& path, std::string* error);

// The DriverEntry the next plug-in calls. A QUELVIX_DRIVER_IMAGE that cannot
// be loaded ends the program with its reason: a run meant for the image must
// never quietly test the host build instead.
PDRIVER_INITIALIZE DriverEntryToPlug();

}  // namespace rig
