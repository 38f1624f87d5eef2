// The per-device capture worker: the raw frame double buffer, the RGB buffer
// and the capture thread that keeps reading frames while the pin runs.
#pragma once

#include "wdk.h"

class DeviceContext;

struct CaptureWorker {
    DeviceContext* owner;
    KEVENT conversionDone;  // notification event: set when no conversion is running
};

// Allocates a zero-filled worker for `owner` (tag 'wNCK'); null when out of memory.
CaptureWorker* AllocateCaptureWorker(DeviceContext* owner);
// Object bag callback: releases a worker made by AllocateCaptureWorker.
VOID FreeCaptureWorker(PVOID worker);
