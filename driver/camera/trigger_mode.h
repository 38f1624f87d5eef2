// External trigger mode: the controller's switch (0x28), the sensor's two
// mode registers, and the status query (0x29) that reads the mode back.
#pragma once

#include "driver/wdk.h"

class DeviceContext;

// Switches the controller (0x28) and the sensor (registers 32/33) between
// external trigger and free running. False only when the controller refused
// the switch; then nothing else changed.
BOOLEAN SetTriggerMode(DeviceContext* context, LONG on);
// Asks the camera (0x29) and records the answer in externalTrigger. False
// when the camera is free running or did not answer in full; an incomplete
// answer leaves externalTrigger alone.
BOOLEAN QueryTriggerMode(DeviceContext* context);
