#include "capture/capture_worker.h"

#include "device/pool_tags.h"

CaptureWorker* AllocateCaptureWorker(DeviceContext* owner) {
    auto worker = static_cast<CaptureWorker*>(AllocateZeroed(sizeof(CaptureWorker), ContextPoolTag));
    if (!worker) return nullptr;
    worker->owner = owner;
    KeInitializeEvent(&worker->conversionDone, NotificationEvent, FALSE);
    return worker;
}

VOID FreeCaptureWorker(PVOID worker) { ExFreePoolWithTag(worker, ContextPoolTag); }
