// The sensor's start-up register script: ten runs of consecutive register
// writes, sent in order on every device start.
#pragma once

#include "wdk.h"

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
