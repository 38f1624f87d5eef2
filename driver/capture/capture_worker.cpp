// The capture worker's streaming buffers and its share of the hand-off with
// the pin's Process routine: PrepareStreaming and EndStreaming take and give
// back the buffers, StopCapture stops the thread and waits out a conversion,
// PauseCapture and ResumeCapture stop and restart it across a pause,
// ConvertReadyFrame and EndConversion bracket Process's use of the image and
// of the working buffer.
#include "driver/capture/capture_worker.h"

#include "driver/camera/frame_geometry.h"
#include "driver/capture/raw_frame.h"
#include "driver/device/device_context.h"
#include "driver/device/pool_tags.h"
#include "driver/pipeline/convert_frame.h"
#include "driver/pipeline/image_pipeline.h"

namespace {

KIRQL LockBuffers(CaptureWorker* worker) {
    KIRQL irql;
    KeAcquireSpinLock(&worker->bufferLock, &irql);
    return irql;
}

VOID UnlockBuffers(CaptureWorker* worker, KIRQL irql) { KeReleaseSpinLock(&worker->bufferLock, irql); }

// Gives back whatever streaming buffers the worker holds.
VOID ReleaseStreamingBuffers(CaptureWorker* worker) {
    if (worker->pipeline) ReleaseWorkingBuffer(worker->pipeline);
    for (ULONG i = 0; i < 2; ++i) {
        FreeRawFrame(worker->rawBuffer[i]);
        worker->rawBuffer[i] = nullptr;
    }
    if (worker->rgbImage) ExFreePoolWithTag(worker->rgbImage, FramePoolTag);
    worker->rgbImage = nullptr;
}

}  // namespace

CaptureWorker* AllocateCaptureWorker(DeviceContext* owner) {
    auto worker = static_cast<CaptureWorker*>(AllocateZeroed(sizeof(CaptureWorker), ContextPoolTag));
    if (!worker) return nullptr;
    worker->owner = owner;
    KeInitializeEvent(&worker->conversionDone, NotificationEvent, FALSE);
    KeInitializeSpinLock(&worker->bufferLock);
    return worker;
}

VOID NTAPI FreeCaptureWorker(PVOID worker) { ExFreePoolWithTag(worker, ContextPoolTag); }

NTSTATUS PrepareStreaming(DeviceContext* context) {
    CaptureWorker* worker = context->worker;
    // Without a worker (the filter factory could not be created at start)
    // there is nothing to stream into; refuse the run rather than run empty.
    if (!worker) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG phase = ComputeBayerPhase(context);
    if (context->pipeline) SetColorPhase(context->pipeline, static_cast<LONG>(phase));
    LONG width = context->frameWidth;
    ULONG height = context->frameHeight;
    InterlockedExchange(&worker->converting, 0);
    InterlockedExchange(&worker->framesRead, 0);
    worker->pipeline = context->pipeline;

    DeviceOperations* device = context;
    device->ProgramFrameGeometry();
    ULONG rawSize = 0;
    device->GetRawFrameSize(&rawSize);

    // A zero raw size, an empty or absurd image, or no pipeline leaves
    // nothing to convert with: the run fails instead of streaming without
    // buffers. Sizes are worked in 64 bits.
    ULONGLONG rgbBytes = width > 0 ? static_cast<ULONGLONG>(width) * height * 4 : 0;
    NTSTATUS status = STATUS_SUCCESS;
    if (rawSize == 0 || rgbBytes == 0 || rgbBytes > 0xFFFFFFFFULL || !worker->pipeline) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        worker->rawBuffer[0] = AllocateRawFrame(rawSize);
        worker->rawBuffer[1] = AllocateRawFrame(rawSize);
        worker->rgbImage =
            static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, static_cast<SIZE_T>(rgbBytes), FramePoolTag));
        if (!worker->rawBuffer[0] || !worker->rawBuffer[1] || !worker->rgbImage) status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) {
        SetPipelineGeometry(worker->pipeline, width, static_cast<LONG>(height));
        AllocateWorkingBuffer(worker->pipeline);
        if (!worker->pipeline->workBuffer) status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(status)) {
        // What was obtained goes back: a failed run keeps nothing.
        ReleaseStreamingBuffers(worker);
        return status;
    }
    worker->pipeline->outputBuffer = worker->rgbImage;
    worker->captureState = CaptureRunning;
    status = StartCaptureThread(worker);
    if (!NT_SUCCESS(status)) {
        // No thread: the run fails and keeps nothing, as for any other
        // resource it could not have.
        worker->captureState = CaptureStopped;
        ReleaseStreamingBuffers(worker);
    }
    return status;
}

// The stop handshake. Process enters a conversion only under bufferLock and
// only while `running` is set, raising `converting` in the same section; it
// leaves (EndConversion) by clearing `converting` and setting conversionDone
// in one section under the same lock. So once `running` is cleared no new
// conversion starts, and the reset of conversionDone and the test of
// `converting`, made together under the lock, cannot fall between Process's
// clearing and its signal: either no conversion is left, or the signal is
// still to come.
VOID StopCapture(CaptureWorker* worker) {
    KIRQL irql = LockBuffers(worker);
    InterlockedExchange(&worker->running, 0);
    UnlockBuffers(worker, irql);

    DeviceOperations* device = worker->owner;
    PVOID thread = worker->captureThread;
    if (thread) {
        // The cancel ends the read in flight at once. A read the thread
        // begins just after a cancel (it had not seen `running` cleared yet)
        // would wait its whole timeout, so the cancel is repeated until the
        // thread has gone.
        LARGE_INTEGER step;
        step.QuadPart = -10LL * 1000 * 10;  // 10 ms
        do {
            device->CancelPendingReads();
        } while (KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &step) == STATUS_TIMEOUT);
        ObDereferenceObject(thread);
        worker->captureThread = nullptr;
    } else {
        device->CancelPendingReads();
    }

    irql = LockBuffers(worker);
    KeResetEvent(&worker->conversionDone);
    BOOLEAN busy = ReadNoFence(&worker->converting) != 0;
    UnlockBuffers(worker, irql);
    if (busy) KeWaitForSingleObject(&worker->conversionDone, Executive, KernelMode, FALSE, nullptr);
}

VOID EndStreaming(CaptureWorker* worker) {
    StopCapture(worker);
    worker->captureState = CaptureStopped;
    ReleaseStreamingBuffers(worker);
    worker->pipeline = nullptr;  // the pin releases it next; never kept past streaming
}

VOID PauseCapture(CaptureWorker* worker) {
    if (worker->captureState != CaptureRunning) return;
    StopCapture(worker);
    worker->captureState = CapturePaused;
}

NTSTATUS ResumeCapture(CaptureWorker* worker) {
    if (worker->captureState != CapturePaused) return STATUS_SUCCESS;
    // Running before the thread starts: its first read checks the state.
    worker->captureState = CaptureRunning;
    NTSTATUS status = StartCaptureThread(worker);
    if (!NT_SUCCESS(status)) worker->captureState = CapturePaused;
    return status;
}

LONG PickReadyBuffer(const CaptureWorker* worker) {
    if (worker->bufferState[0] == BufferReady) return 0;
    if (worker->bufferState[1] == BufferReady) return 1;
    return -1;
}

// Repeats, the same picture delivered again when Process finds no new frame,
// are rare while the camera keeps pace with the client (0 - 0.04 per new
// picture at 30 fps with a client that hands each frame straight back,
// 0.3 - 0.6 with the camera unpaced, in streaming_bench). So the common case, a new
// frame and a client frame waiting, converts once, straight into the
// client's frame, and the picture is not kept as an image: keeping a copy
// for repeats would cost the very copy the direct conversion saves. A repeat
// of such a picture converts it again from the working buffer with the
// frame's own gains and coefficients (the same bytes), measured at 1.8 - 2.1
// times a copy of the image. Converting it into rgbImage and copying from
// there would cost about 2.9 copies for the first repeat and one for each
// further repeat of the same picture: it wins only from the third repeat of
// one picture on, which the streams above do not reach. A frame with no
// client frame waiting (or one too small) is converted into rgbImage as
// before, and its deliveries copy it.
BOOLEAN ConvertReadyFrame(CaptureWorker* worker, const ClientRows* client, PictureSource* source) {
    *source = PictureNone;
    KIRQL irql = LockBuffers(worker);
    if (!ReadNoFence(&worker->running)) {
        UnlockBuffers(worker, irql);
        return FALSE;
    }
    InterlockedExchange(&worker->converting, 1);
    LONG picked = PickReadyBuffer(worker);
    if (picked >= 0) worker->bufferState[picked] = BufferConverting;
    const LONG earlier = worker->picture;
    UnlockBuffers(worker, irql);

    // No ready frame: the previous picture of this run, if any, goes out
    // again from where it is.
    if (picked < 0) {
        *source = static_cast<PictureSource>(earlier);
        return TRUE;
    }
    DeviceOperations* device = worker->owner;
    ULONG offset = 0;
    LONG pitch = 0;
    device->GetRawDataOffset(&offset);
    device->GetRawLinePitch(&pitch);
    const UCHAR* raw = worker->rawBuffer[picked];
    if (client) {
        ConvertFrameToRows(worker->pipeline, raw, offset, static_cast<ULONG>(pitch), client->firstRow, client->pitch);
    } else {
        ConvertFrame(worker->pipeline, raw, offset, static_cast<ULONG>(pitch));
    }

    irql = LockBuffers(worker);
    worker->bufferState[picked] = BufferFree;
    worker->picture = client ? PictureInWorkingBuffer : PictureInImage;
    UnlockBuffers(worker, irql);
    *source = client ? PictureInClientRows : PictureInImage;
    return TRUE;
}

VOID ConvertPictureAgain(CaptureWorker* worker, const ClientRows* client) {
    ConvertFrameAgain(worker->pipeline, client->firstRow, client->pitch);
}

VOID EndConversion(CaptureWorker* worker) {
    KIRQL irql = LockBuffers(worker);
    InterlockedExchange(&worker->converting, 0);
    KeSetEvent(&worker->conversionDone, 1, FALSE);
    UnlockBuffers(worker, irql);
}
