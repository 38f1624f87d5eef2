// One value request of the camera's property set, as an application sends
// it to the capture filter: the 32-byte buffer serving as both the request
// and the data, through the class's property handling and the driver's.
#pragma once

#include "host/ks/ks_client.h"

namespace rig {

// A get (KSPROPERTY_TYPE_GET) or a set (KSPROPERTY_TYPE_SET) of `id`: a set
// sends *value, and *value is what the buffer holds after the request (the
// answer of a get that succeeded). Returns the request's status.
NTSTATUS SendCameraValue(hostks::KsFilter& filter, ULONG id, ULONG flags, LONG* value);

}  // namespace rig
