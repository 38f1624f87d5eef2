#include "device/device_context.h"

#include <new>

#include "camera/camera_commands.h"
#include "capture/capture_pin.h"
#include "device/pool_tags.h"

DeviceContext* DeviceContext::Allocate(PKSDEVICE device) {
    PVOID block = AllocateZeroed(sizeof(DeviceContext), ContextPoolTag);
    if (!block) return nullptr;
    // Placement construction only sets the operation table; every field keeps
    // the zero of the fresh block.
    auto context = new (block) DeviceContext;
    context->device = device;
    return context;
}

VOID DeviceContext::Free(PVOID context) { ExFreePoolWithTag(context, ContextPoolTag); }

// A frame is ready: the pin that holds the pipeline processes it. The capture
// thread calls this only between the pin's acquire and its stop, so
// pinContext is set and stays set while the thread runs.
VOID DeviceContext::NotifyFrameReady() {
    PinCallbacks* pin = pinContext;
    if (pin) pin->AttemptProcessing();
}

ULONG DeviceContext::ProgramFrameGeometry() { return ::ProgramFrameGeometry(this); }

BOOLEAN DeviceContext::ReadRawFrame(PUCHAR buffer, BOOLEAN* success) { return ::ReadRawFrame(this, buffer, success); }

VOID DeviceContext::GetRawFrameSize(ULONG* size) { *size = rawFrameSize; }

VOID DeviceContext::GetRawDataOffset(ULONG* offset) { *offset = rawDataOffset; }

VOID DeviceContext::GetRawLinePitch(LONG* pitch) { *pitch = rawLinePitch; }

VOID DeviceContext::CancelPendingReads() { ::CancelPendingReads(&link); }
