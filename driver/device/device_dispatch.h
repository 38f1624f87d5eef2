// The device dispatch routines the streaming class calls at Plug and Play
// time, and the defaults of a newly added camera.
#pragma once

#include "driver/wdk.h"

class DeviceContext;

NTSTATUS NTAPI DeviceAdd(PKSDEVICE device);
NTSTATUS NTAPI DeviceStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated);
VOID NTAPI DeviceStop(PKSDEVICE device, PIRP irp);
VOID InitializeDeviceContext(DeviceContext* context, PKSDEVICE device);

extern const KSDEVICE_DESCRIPTOR DeviceDescriptor;
