#include "rig/camera_property.h"

#include "driver/camera/property_set.h"

namespace rig {

NTSTATUS SendCameraValue(hostks::KsFilter& filter, ULONG id, ULONG flags, LONG* value) {
    CameraPropertyValue buffer{};
    buffer.Property.Set = CameraPropertySetId;
    buffer.Property.Id = id;
    buffer.Property.Flags = flags;
    buffer.Value = *value;
    ULONG returned = 0;
    const NTSTATUS status = filter.SendPropertyRequest(&buffer, sizeof buffer, &buffer, sizeof buffer, &returned);
    *value = buffer.Value;
    return status;
}

}  // namespace rig
