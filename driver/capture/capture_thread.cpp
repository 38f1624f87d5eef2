// The capture thread: while the pin runs it reads raw frames one after
// another into the double buffer and tells the pin after each good one.
#include "driver/capture/capture_worker.h"

#include "driver/device/device_context.h"

namespace {

// Failed reads that come back at once (the camera was pulled out, the pipe
// is gone) are spaced this far apart, so a dead camera does not spin a core.
// Reads that time out take ReadTimeout each and are not held up.
constexpr LONGLONG FailedReadSpacing = 20LL * 10000;  // 20 ms in 100 ns units

KIRQL LockBuffers(CaptureWorker* worker) {
    KIRQL irql;
    KeAcquireSpinLock(&worker->bufferLock, &irql);
    return irql;
}

VOID UnlockBuffers(CaptureWorker* worker, KIRQL irql) { KeReleaseSpinLock(&worker->bufferLock, irql); }

VOID SpaceFailedRead(CaptureWorker* worker, ULONGLONG started) {
    LONGLONG elapsed = static_cast<LONGLONG>(KeQueryInterruptTime() - started);
    if (elapsed >= FailedReadSpacing || !ReadNoFence(&worker->running)) return;
    LARGE_INTEGER pause;
    pause.QuadPart = -(FailedReadSpacing - elapsed);
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
}

}  // namespace

ULONG ChooseBufferToFill(const CaptureWorker* worker) {
    if (worker->bufferState[0] == BufferFree) return 0;
    if (worker->bufferState[1] == BufferFree) return 1;
    if (worker->bufferState[0] != BufferConverting) return 0;
    return 1;
}

NTSTATUS StartCaptureThread(CaptureWorker* worker) {
    KIRQL irql = LockBuffers(worker);
    worker->bufferState[0] = BufferFree;
    worker->bufferState[1] = BufferFree;
    // The picture from before a pause is not this run's: the first delivery
    // waits for the first conversion of a frame read from now on.
    worker->picture = PictureNone;
    InterlockedExchange(&worker->running, 1);
    UnlockBuffers(worker, irql);

    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, CaptureThread, worker);
    if (!NT_SUCCESS(status)) {
        // Without a thread no frame would ever come, and Process would only
        // deliver the old image again and again. The run is refused instead,
        // so the application learns of it and may try again; clearing
        // `running` keeps Process from converting or delivering anything.
        irql = LockBuffers(worker);
        InterlockedExchange(&worker->running, 0);
        UnlockBuffers(worker, irql);
        return status;
    }
    PVOID thread = nullptr;
    if (NT_SUCCESS(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &thread, nullptr)))
        worker->captureThread = thread;
    ZwClose(handle);
    return STATUS_SUCCESS;
}

VOID CaptureThread(PVOID context) {
    auto worker = static_cast<CaptureWorker*>(context);
    DeviceOperations* device = worker->owner;
    while (ReadNoFence(&worker->running)) {
        KIRQL irql = LockBuffers(worker);
        ULONG chosen = ChooseBufferToFill(worker);
        worker->bufferState[chosen] = BufferFilling;  // a ready frame chosen here is lost
        UnlockBuffers(worker, irql);

        ULONGLONG started = KeQueryInterruptTime();
        BOOLEAN ok = CaptureOneFrame(worker, chosen);

        // Counted in the same section that marks the buffer ready, so that a
        // frame counted is a frame Process can find.
        irql = LockBuffers(worker);
        worker->bufferState[chosen] = ok ? BufferReady : BufferFree;
        if (ok) InterlockedIncrement(&worker->framesRead);
        UnlockBuffers(worker, irql);
        if (ok) device->NotifyFrameReady();
        else SpaceFailedRead(worker, started);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

BOOLEAN CaptureOneFrame(CaptureWorker* worker, ULONG buffer) {
    if (worker->captureState != CaptureRunning) return FALSE;
    DeviceOperations* device = worker->owner;
    BOOLEAN success = FALSE;
    device->ReadRawFrame(worker->rawBuffer[buffer], &success);
    return success;
}
