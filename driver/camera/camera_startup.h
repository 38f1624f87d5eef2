// What device start runs after the camera is configured, and what device stop
// and filter close save.
#pragma once

#include "wdk.h"

class DeviceContext;

// Writes the sensor's start-up register script; every result is ignored.
VOID RunSensorScript(DeviceContext* context);
// Applies the settings saved in the device's registry key.
VOID LoadSettings(DeviceContext* context);
// Saves the settings to the device's registry key.
VOID SaveSettings(DeviceContext* context);
