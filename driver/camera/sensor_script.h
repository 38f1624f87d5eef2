// The sensor's start-up register script: ten runs of consecutive register
// writes, sent in order on every device start after the camera is
// configured.
#pragma once

#include "driver/wdk.h"

class DeviceContext;

// A run writes values[k] to register firstRegister + k for k < writeCount.
struct SensorScriptRun {
    USHORT firstRegister;
    USHORT writeCount;
    const LONG* values;
};

extern const SensorScriptRun SensorScriptRuns[];
extern const ULONG SensorScriptRunCount;
// 946: every write of every run.
extern const ULONG SensorScriptWriteCount;

// Writes the sensor's start-up register script; every result is ignored.
VOID RunSensorScript(DeviceContext* context);
