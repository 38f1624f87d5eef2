#include "driver/device/device_context.h"

#include <new>

#include "driver/camera/frame_geometry.h"
#include "driver/capture/capture_pin.h"
#include "driver/device/pool_tags.h"

DeviceContext* DeviceContext::Allocate(PKSDEVICE device) {
    PVOID block = AllocateZeroed(sizeof(DeviceContext), ContextPoolTag);
    if (!block) return nullptr;
    // Placement construction only sets the operation table; every field keeps
    // the zero of the fresh block.
    auto context = new (block) DeviceContext;
    context->device = device;
    return context;
}

VOID NTAPI DeviceContext::Free(PVOID context) {
    // A removal that no Stop preceded still frees the USB configuration.
    ReleaseConfiguration(&static_cast<DeviceContext*>(context)->link);
    ExFreePoolWithTag(context, ContextPoolTag);
}

// A frame is ready: the pin that holds the pipeline processes it. The capture
// thread calls this only between the pin's acquire and its stop, so
// pinContext is set and stays set while the thread runs.
VOID DeviceContext::NotifyFrameReady() {
    PinCallbacks* pin = pinContext;
    if (pin) pin->AttemptProcessing();
}

ULONG DeviceContext::ProgramFrameGeometry() { return ::ProgramFrameGeometry(this); }

// The whole read holds the interface, so that a Stop arriving meanwhile
// waits for it (cancelling it) before the pipes are freed.
//
// The transport calls a read good when every chunk completed, whatever each
// chunk's status, so that a frame with a lost chunk still shows. A read in
// which no chunk brought a byte (the camera is gone) is no frame: the capture
// thread would deliver stale memory as new, and as a failure the thread
// spaces such reads out.
BOOLEAN DeviceContext::ReadRawFrame(PUCHAR buffer, BOOLEAN* success) {
    *success = FALSE;
    if (!ReadNoFence(&cameraReady)) return FALSE;
    if (!AcquireInterface(&link)) return FALSE;
    ::ReadRawFrame(this, buffer, success);
    if (*success && FrameBytesReceived(&link) == 0) *success = FALSE;
    ReleaseInterface(&link);
    return *success;
}

VOID DeviceContext::GetRawFrameSize(ULONG* size) { *size = rawFrameSize; }

VOID DeviceContext::GetRawDataOffset(ULONG* offset) { *offset = rawDataOffset; }

VOID DeviceContext::GetRawLinePitch(LONG* pitch) { *pitch = rawLinePitch; }

VOID DeviceContext::CancelPendingReads() { ::CancelPendingReads(&link); }
