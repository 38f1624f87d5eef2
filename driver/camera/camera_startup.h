// What device start runs after the camera is configured, and what device stop
// and filter close save.
#pragma once

#include "wdk.h"

class DeviceContext;

// Writes the sensor's start-up register script; every result is ignored.
VOID RunSensorScript(DeviceContext* context);
// Applies the settings saved in the "Settings" subkey of the device's driver
// key to the settings, the camera and the pipeline. False when the key could
// not be opened; then nothing changed. PASSIVE_LEVEL.
BOOLEAN LoadSettings(DeviceContext* context);
// Writes the seventeen saved settings as they stand. False when the key could
// not be opened; a failed value write is skipped. PASSIVE_LEVEL.
BOOLEAN SaveSettings(DeviceContext* context);
