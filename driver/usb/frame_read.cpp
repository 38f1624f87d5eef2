// The chunked read of one raw frame: every 64 KiB piece of the frame has its
// own IRP, URB and partial MDL over the one destination buffer, and all of
// them are handed to the USB stack before Command03 asks the camera to send.
//
// Ownership: the reader owns the chunk table and everything in it from the
// start of a read to its end. Completion routines only count completions and
// wake the reader; the reader frees the IRPs, MDLs, URBs and the table once
// every posted chunk has completed and no cancel pass is walking the table.
// That keeps CancelChunks safe against completions on other processors (an
// IRP it cancels cannot be freed under it), and no chunk outlives its table.
#include "driver/camera/camera_commands.h"
#include "driver/device/device_context.h"
#include "driver/device/pool_tags.h"
#include "driver/device/read_timeout.h"
#include "driver/usb/usb_link.h"

namespace {

KIRQL LockChunks(UsbLink* link) { return KeAcquireSpinLockRaiseToDpc(&link->chunkLock); }
VOID UnlockChunks(UsbLink* link, KIRQL irql) { KeReleaseSpinLock(&link->chunkLock, irql); }

NTSTATUS CheckFramePipe(UsbLink* link) {
    PUSBD_INTERFACE_INFORMATION info = link->interfaceInfo;
    if (!info) return STATUS_UNSUCCESSFUL;
    if (info->NumberOfPipes < 3) return STATUS_INVALID_PARAMETER;
    USBD_PIPE_TYPE type = info->Pipes[FramePipe].PipeType;
    if (type != UsbdPipeTypeBulk && type != UsbdPipeTypeInterrupt) return STATUS_INVALID_PARAMETER;
    if (!info->Pipes[FramePipe].PipeHandle) return STATUS_UNSUCCESSFUL;
    return STATUS_SUCCESS;
}

VOID FreeChunk(ChunkRequest* entry) {
    if (entry->urb) ExFreePoolWithTag(entry->urb, UsbPoolTag);
    if (entry->mdl) IoFreeMdl(entry->mdl);
    if (entry->irp) IoFreeIrp(entry->irp);
    RtlZeroMemory(entry, sizeof *entry);
}

// Ends a read: waits out any cancel pass still walking the table, then frees
// the table, its chunks and the frame MDL. Every posted chunk has completed.
VOID ReleaseChunks(UsbLink* link) {
    for (;;) {
        KIRQL irql = LockChunks(link);
        if (link->cancelPasses == 0) {
            ChunkRequest* table = link->chunkTable;
            ULONG count = link->chunkCount;
            PMDL frameMdl = link->frameMdl;
            link->chunkTable = nullptr;
            link->chunkCount = 0;
            link->frameMdl = nullptr;
            UnlockChunks(link, irql);
            for (ULONG i = 0; i < count; ++i) FreeChunk(&table[i]);
            if (frameMdl) IoFreeMdl(frameMdl);
            if (table) ExFreePoolWithTag(table, UsbPoolTag);
            return;
        }
        UnlockChunks(link, irql);
        LARGE_INTEGER pause;
        pause.QuadPart = -10000;  // 1 ms: a cancel pass is short
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
}

// Builds chunk i: an IRP, an MDL for a window of the frame, and its URB.
BOOLEAN BuildChunk(UsbLink* link, ChunkRequest* entry, PUCHAR buffer, ULONG length, ULONG offset, ULONG bytes) {
    PUSBD_PIPE_INFORMATION pipe = &link->interfaceInfo->Pipes[FramePipe];
    PIRP irp = IoAllocateIrp(static_cast<CHAR>(link->lowerDeviceObject->StackSize + 1), FALSE);
    if (!irp) return FALSE;
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
    ULONG size = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    auto urb = static_cast<PURB>(mdl ? AllocateZeroed(size, UsbPoolTag) : nullptr);
    if (!urb) {
        if (mdl) IoFreeMdl(mdl);
        IoFreeIrp(irp);
        return FALSE;
    }
    IoBuildPartialMdl(link->frameMdl, mdl, buffer + offset, bytes);
    UsbBuildInterruptOrBulkTransferRequest(urb, static_cast<USHORT>(size), pipe->PipeHandle, nullptr, mdl,
                                           MmGetMdlByteCount(mdl), PipeTransferFlags(pipe), nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, ChunkCompletion, entry, TRUE, TRUE, TRUE);
    KIRQL irql = LockChunks(link);
    *entry = ChunkRequest{link, urb, irp, mdl};
    UnlockChunks(link, irql);
    return TRUE;
}

// Chunks that were never posted will never complete: take them out of the
// count so that readsDone is set when the posted ones have completed.
VOID ForgetUnposted(UsbLink* link, ULONG unposted) {
    KIRQL irql = LockChunks(link);
    link->chunksPending -= static_cast<LONG>(unposted);
    if (link->chunksPending <= 0) {
        link->chunksPending = 0;
        KeSetEvent(&link->readsDone, IO_NO_INCREMENT, FALSE);
    }
    UnlockChunks(link, irql);
}

// A chunk could not be posted. A pipe may be reset only when nothing sent on
// it is still pending, so the chunks already posted are cancelled and waited
// for first; every unposted one was already taken out of the count, so
// readsDone is set once the posted ones have completed.
VOID RecoverFramePipe(UsbLink* link) {
    CancelChunks(link);
    if (!NT_SUCCESS(ResetPipe(link, FramePipe))) ResetPortIfDisabled(link);
}

}  // namespace

NTSTATUS ReadFrameChunked(UsbLink* link, ULONG length, PUCHAR buffer, DeviceContext* context) {
    NTSTATUS status = CheckFramePipe(link);
    if (!NT_SUCCESS(status)) return status;
    if (length == 0 || !buffer) return STATUS_INVALID_PARAMETER;
    ULONG count = length / FrameChunkSize + (length % FrameChunkSize ? 1 : 0);
    auto table = static_cast<ChunkRequest*>(AllocateZeroed((count + 1) * sizeof(ChunkRequest), UsbPoolTag));
    if (!table) return STATUS_INSUFFICIENT_RESOURCES;
    PMDL frameMdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
    if (!frameMdl) {
        ExFreePoolWithTag(table, UsbPoolTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmBuildMdlForNonPagedPool(frameMdl);
    KeResetEvent(&link->readsDone);
    KIRQL irql = LockChunks(link);
    link->chunkTable = table;
    link->chunksPending = static_cast<LONG>(count);
    link->chunkCount = count;
    link->bytesReceived = 0;
    link->frameMdl = frameMdl;
    link->readCancelled = FALSE;
    UnlockChunks(link, irql);

    SendCaptureCommand(context, FALSE);
    NTSTATUS postStatus = STATUS_SUCCESS;
    BOOLEAN outOfMemory = FALSE;
    ULONG posted = 0;
    for (ULONG offset = 0; posted < count; ++posted) {
        irql = LockChunks(link);
        BOOLEAN cancelled = link->readCancelled;
        UnlockChunks(link, irql);
        if (cancelled) {
            postStatus = STATUS_CANCELLED;
            break;
        }
        ULONG bytes = length - offset < FrameChunkSize ? length - offset : FrameChunkSize;
        if (!BuildChunk(link, &table[posted], buffer, length, offset, bytes)) {
            outOfMemory = TRUE;
            break;
        }
        // The stack completes the IRP whatever this returns, so it counts as
        // posted; a failure only stops further posting.
        NTSTATUS callStatus = IoCallDriver(link->lowerDeviceObject, table[posted].irp);
        offset += bytes;
        if (!NT_SUCCESS(callStatus)) {
            postStatus = callStatus;
            ++posted;
            break;
        }
    }
    ForgetUnposted(link, count - posted);

    // A cancel that came while chunks were being posted may have missed the
    // last ones; cancel whatever was posted so the read ends at once.
    irql = LockChunks(link);
    BOOLEAN cancelledWhilePosting = link->readCancelled;
    UnlockChunks(link, irql);
    if (outOfMemory || cancelledWhilePosting) CancelChunks(link);
    if (outOfMemory) {
        // Nothing may write into the caller's buffer once we return.
        ReleaseChunks(link);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    SendCaptureCommand(context, TRUE);
    if (!NT_SUCCESS(postStatus) && postStatus != STATUS_CANCELLED) RecoverFramePipe(link);

    // The wait is ReadTimeout milliseconds, taken as unsigned and widened
    // before scaling so that a large accepted timeout cannot wrap.
    LARGE_INTEGER limit;
    limit.QuadPart = -10000LL * static_cast<LONGLONG>(static_cast<ULONG>(ReadNoFence(&ReadTimeout)));
    status = KeWaitForSingleObject(&link->readsDone, Executive, KernelMode, FALSE, &limit);
    if (status == STATUS_TIMEOUT) {
        CancelChunks(link);
    } else {
        irql = LockChunks(link);
        BOOLEAN cancelled = link->readCancelled;
        UnlockChunks(link, irql);
        status = !NT_SUCCESS(postStatus) ? postStatus : (cancelled ? STATUS_CANCELLED : STATUS_SUCCESS);
    }
    ReleaseChunks(link);
    return status;
}

NTSTATUS NTAPI ChunkCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* entry = static_cast<ChunkRequest*>(context);
    // Every chunk IRP is the driver's own: whatever this routine finds, the
    // I/O manager must not go on completing it, which only
    // STATUS_MORE_PROCESSING_REQUIRED stops.
    if (!entry || !entry->link || entry->irp != irp || !entry->link->chunkTable)
        return STATUS_MORE_PROCESSING_REQUIRED;
    UsbLink* link = entry->link;
    KIRQL irql = LockChunks(link);
    if (link->chunksPending > 0) --link->chunksPending;
    // The IRP may succeed while the URB reports the transfer failed; such a
    // chunk brought no bytes either.
    if (NT_SUCCESS(irp->IoStatus.Status) && USBD_SUCCESS(entry->urb->UrbHeader.Status)) {
        irp->IoStatus.Information = entry->urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        link->bytesReceived += static_cast<ULONG>(irp->IoStatus.Information);
    } else {
        irp->IoStatus.Information = 0;
    }
    if (link->chunksPending == 0) KeSetEvent(&link->readsDone, IO_NO_INCREMENT, FALSE);
    UnlockChunks(link, irql);
    // The IRP is the driver's; the reader frees it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

ULONG FrameBytesReceived(UsbLink* link) {
    KIRQL irql = LockChunks(link);
    ULONG received = link->bytesReceived;
    UnlockChunks(link, irql);
    return received;
}

VOID CancelChunks(UsbLink* link) {
    KIRQL irql = LockChunks(link);
    ChunkRequest* table = link->chunkTable;
    if (!table) {
        UnlockChunks(link, irql);
        return;
    }
    ++link->cancelPasses;
    ULONG count = link->chunkCount;
    UnlockChunks(link, irql);
    // IoCancelIrp may complete the IRP at once, and the completion takes
    // chunkLock: so the lock is not held around it. The IRPs stay allocated
    // while cancelPasses is non-zero.
    for (ULONG i = 0; i < count; ++i) {
        irql = LockChunks(link);
        PIRP irp = table[i].irp;
        UnlockChunks(link, irql);
        if (irp) IoCancelIrp(irp);
    }
    irql = LockChunks(link);
    --link->cancelPasses;
    UnlockChunks(link, irql);
    KeWaitForSingleObject(&link->readsDone, Executive, KernelMode, FALSE, nullptr);
}

VOID CancelPendingReads(UsbLink* link) {
    KIRQL irql = LockChunks(link);
    BOOLEAN reading = link->chunkTable != nullptr;
    if (reading) link->readCancelled = TRUE;
    UnlockChunks(link, irql);
    if (reading) CancelChunks(link);
}

BOOLEAN ReadRawFrame(DeviceContext* context, PUCHAR buffer, BOOLEAN* success) {
    RtlZeroMemory(context->frameCommand, sizeof context->frameCommand);
    context->frameCommand[0] = Command02;
    ULONG moved = 0;
    PipeTransfer(&context->link, CommandPipe, context->frameCommand, &moved);
    NTSTATUS status = ReadFrameChunked(&context->link, context->rawFrameSize, buffer, context);
    *success = status == STATUS_SUCCESS;
    return *success;
}
