// Synchronous requests to the USB stack below the camera: URBs, the port
// status query and the port reset.
#include "driver/camera/camera_commands.h"
#include "driver/device/device_context.h"
#include "driver/device/pool_tags.h"
#include "driver/usb/usb_link.h"

LONG volatile UsbRequestTimeout = DefaultUsbRequestTimeout;

namespace {

// The IRP is ours: the completion routine only wakes the sender, who frees it.
NTSTATUS NTAPI RequestDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends an internal device-control request down and waits for it, at most
// UsbRequestTimeout milliseconds. A request still running then is cancelled
// and waited for, so that it never outlives its caller's buffers. The IRP is
// allocated here rather than built as a threaded IRP because only an IRP the
// driver owns may be cancelled safely after its wait has given up.
NTSTATUS SendInternalRequest(UsbLink* link, ULONG ioControlCode, PVOID argument, LONG milliseconds) {
    PIRP irp = IoAllocateIrp(link->lowerDeviceObject->StackSize, FALSE);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    next->Parameters.Others.Argument1 = argument;
    IoSetCompletionRoutine(irp, RequestDone, &done, TRUE, TRUE, TRUE);
    IoCallDriver(link->lowerDeviceObject, irp);
    LARGE_INTEGER limit;
    limit.QuadPart = -10000LL * milliseconds;
    BOOLEAN timedOut = KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &limit) == STATUS_TIMEOUT;
    if (timedOut) {
        IoCancelIrp(irp);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return (timedOut && status == STATUS_CANCELLED) ? STATUS_IO_TIMEOUT : status;
}

// Turns an interface's pipe index into its pipe, checking what every
// transfer needs.
NTSTATUS FindTransferPipe(UsbLink* link, ULONG pipeIndex, PUSBD_PIPE_INFORMATION* pipe) {
    PUSBD_INTERFACE_INFORMATION info = link->interfaceInfo;
    if (!info) return STATUS_UNSUCCESSFUL;
    if (info->NumberOfPipes == 0 || pipeIndex >= info->NumberOfPipes) return STATUS_INVALID_PARAMETER;
    PUSBD_PIPE_INFORMATION candidate = &info->Pipes[pipeIndex];
    if (candidate->PipeType != UsbdPipeTypeBulk && candidate->PipeType != UsbdPipeTypeInterrupt)
        return STATUS_INVALID_PARAMETER;
    if (!candidate->PipeHandle) return STATUS_UNSUCCESSFUL;
    *pipe = candidate;
    return STATUS_SUCCESS;
}

// Sends a URB and waits at most `milliseconds` for it. The IRP's status
// says whether the stack could process the URB, UrbHeader.Status how the
// transfer went; the stack may complete the IRP successfully for a transfer
// that failed, so a USBD error fails the request whatever the IRP says.
NTSTATUS SubmitUrbWithin(UsbLink* link, PURB urb, LONG milliseconds) {
    NTSTATUS status = SendInternalRequest(link, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, milliseconds);
    if (NT_SUCCESS(status) && USBD_ERROR(urb->UrbHeader.Status)) status = STATUS_UNSUCCESSFUL;
    return status;
}

// Moves one 64-byte packet on a pipe already checked by the caller and
// reports the bytes moved.
NTSTATUS TransferPacket(UsbLink* link, const USBD_PIPE_INFORMATION* pipe, PUCHAR buffer, ULONG* bytesMoved,
                        LONG milliseconds) {
    ULONG size = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    auto urb = static_cast<PURB>(AllocateZeroed(size, UsbPoolTag));
    if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
    // Every command and reply moves exactly 64 bytes, whatever the caller's buffer.
    UsbBuildInterruptOrBulkTransferRequest(urb, static_cast<USHORT>(size), pipe->PipeHandle, buffer, nullptr,
                                           CommandPacketSize, PipeTransferFlags(pipe), nullptr);
    NTSTATUS status = SubmitUrbWithin(link, urb, milliseconds);
    if (NT_SUCCESS(status)) *bytesMoved = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    ExFreePoolWithTag(urb, UsbPoolTag);
    return status;
}

}  // namespace

ULONG PipeTransferFlags(const USBD_PIPE_INFORMATION* pipe) {
    return USBD_SHORT_TRANSFER_OK |
           (USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress) ? USBD_TRANSFER_DIRECTION_IN : 0);
}

NTSTATUS SubmitUrbSync(UsbLink* link, PURB urb) {
    return SubmitUrbWithin(link, urb, ReadNoFence(&UsbRequestTimeout));
}

// The interface is held for the whole transfer: a Stop meanwhile waits.
NTSTATUS PipeTransfer(UsbLink* link, ULONG pipeIndex, PUCHAR buffer, ULONG* bytesMoved) {
    return PipeTransferWithin(link, pipeIndex, buffer, bytesMoved, ReadNoFence(&UsbRequestTimeout));
}

NTSTATUS PipeTransferWithin(UsbLink* link, ULONG pipeIndex, PUCHAR buffer, ULONG* bytesMoved, LONG milliseconds) {
    *bytesMoved = 0;
    if (!AcquireInterface(link)) return STATUS_UNSUCCESSFUL;  // none, or being stopped
    PUSBD_PIPE_INFORMATION pipe = nullptr;
    NTSTATUS status = FindTransferPipe(link, pipeIndex, &pipe);
    if (NT_SUCCESS(status) && pipe->MaximumTransferSize < CommandPacketSize) status = STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(status)) status = TransferPacket(link, pipe, buffer, bytesMoved, milliseconds);
    ReleaseInterface(link);
    return status;
}

// Held too: a stop meanwhile waits rather than free the pipe handle.
NTSTATUS ResetPipe(UsbLink* link, ULONG pipeIndex) {
    if (!AcquireInterface(link)) return STATUS_INVALID_PARAMETER;  // none, or being stopped
    PUSBD_INTERFACE_INFORMATION info = link->interfaceInfo;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (pipeIndex < info->NumberOfPipes && info->Pipes[pipeIndex].PipeHandle) {
        ULONG size = sizeof(struct _URB_PIPE_REQUEST);
        auto urb = static_cast<PURB>(AllocateZeroed(size, UsbPoolTag));
        status = STATUS_INSUFFICIENT_RESOURCES;
        if (urb) {
            urb->UrbHeader.Length = static_cast<USHORT>(size);
            urb->UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
            urb->UrbPipeRequest.PipeHandle = info->Pipes[pipeIndex].PipeHandle;
            status = SubmitUrbSync(link, urb);
            ExFreePoolWithTag(urb, UsbPoolTag);
        }
    }
    ReleaseInterface(link);
    return status;
}

VOID SendCaptureCommand(DeviceContext* context, BOOLEAN start) {
    if (!AcquireInterface(&context->link)) return;
    PUSBD_INTERFACE_INFORMATION info = context->link.interfaceInfo;
    if (info->NumberOfPipes != 0 && info->Pipes[CommandPipe].PipeHandle) {
        RtlZeroMemory(context->captureCommand, sizeof context->captureCommand);
        context->captureCommand[0] = start ? Command03 : Command02;
        ULONG moved = 0;
        TransferPacket(&context->link, &info->Pipes[CommandPipe], context->captureCommand, &moved,
                       ReadNoFence(&UsbRequestTimeout));
    }
    ReleaseInterface(&context->link);
}

NTSTATUS ResetPortIfDisabled(UsbLink* link) {
    ULONG portStatus = 0;
    LONG limit = ReadNoFence(&UsbRequestTimeout);
    NTSTATUS status = SendInternalRequest(link, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus, limit);
    if (!NT_SUCCESS(status)) return status;
    if ((portStatus & USBD_PORT_ENABLED) || !(portStatus & USBD_PORT_CONNECTED)) return status;
    return SendInternalRequest(link, IOCTL_INTERNAL_USB_RESET_PORT, nullptr, limit);
}
