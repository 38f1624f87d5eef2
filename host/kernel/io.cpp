#include "host/kernel/io.h"

#include "host/kernel/violations.h"

namespace {

// Host bookkeeping kept in the IRP's Flags; the driver never reads it.
constexpr ULONG kIrpBuiltByIoManager = 0x80000000;

KSPIN_LOCK g_cancelLock = 0;

size_t IrpBytes(CHAR stackSize) { return sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION); }

PIO_STACK_LOCATION StackBase(PIRP irp) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1); }

void InitializeIrp(PIRP irp, CHAR stackSize) {
    std::memset(irp, 0, IrpBytes(stackSize));
    irp->Size = static_cast<USHORT>(IrpBytes(stackSize));
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = StackBase(irp) + stackSize;
}

bool RoutineWanted(PIO_STACK_LOCATION stack, PIRP irp) {
    if (!stack->CompletionRoutine) return false;
    if (NT_SUCCESS(irp->IoStatus.Status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) return true;
    if (!NT_SUCCESS(irp->IoStatus.Status) && (stack->Control & SL_INVOKE_ON_ERROR)) return true;
    return __atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) && (stack->Control & SL_INVOKE_ON_CANCEL);
}

ULONG MdlCapacityPages(ULONG length) { return (length + 4095) / 4096 + 1; }

}  // namespace

PIRP IoAllocateIrp(CHAR stackSize, BOOLEAN) {
    if (stackSize < 1) hostk::ReportViolation("IoAllocateIrp with stack size %d", stackSize);
    auto irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPoolNx, IrpBytes(stackSize), hostk::kIrpTag));
    if (irp) InitializeIrp(irp, stackSize);
    return irp;
}

VOID IoFreeIrp(PIRP irp) { ExFreePoolWithTag(irp, hostk::kIrpTag); }

VOID IoReuseIrp(PIRP irp, NTSTATUS status) {
    CHAR stackSize = irp->StackCount;
    InitializeIrp(irp, stackSize);
    irp->IoStatus.Status = status;
}

PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT device, PVOID inputBuffer,
                                   ULONG inputBufferLength, PVOID outputBuffer, ULONG outputBufferLength,
                                   BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (!irp) return nullptr;
    irp->Flags |= kIrpBuiltByIoManager;
    irp->UserEvent = event;
    irp->UserIosb = ioStatusBlock;
    irp->AssociatedIrp.SystemBuffer = inputBuffer;
    irp->UserBuffer = outputBuffer;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;
    return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp) {
    if (irp->CurrentLocation <= 1) {
        hostk::ReportViolation("IRP sent down with no stack location left (NO_MORE_IRP_STACK_LOCATIONS)");
        return STATUS_INVALID_PARAMETER;
    }
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->DeviceObject = device;
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[stack->MajorFunction];
    if (!dispatch) {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return dispatch(device, irp);
}

VOID IofCompleteRequest(PIRP irp, CHAR) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) hostk::ReportViolation("IoCompleteRequest above DISPATCH_LEVEL");
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST))
        hostk::ReportViolation("IRP completed with a cancel routine still set");
    while (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
        bool wanted = RoutineWanted(stack, irp);
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        std::memset(stack, 0, sizeof *stack);
        PDEVICE_OBJECT upper =
            irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
        if (wanted) {
            // The IRP may be freed by the routine; touch nothing after this.
            if (routine(upper, irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
        } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
            IoMarkIrpPending(irp);
        }
    }
    if (!(irp->Flags & kIrpBuiltByIoManager)) {
        hostk::ReportViolation("driver-allocated IRP completed back to the I/O manager");
        return;
    }
    if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
    PKEVENT event = irp->UserEvent;
    IoFreeIrp(irp);
    if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

VOID IoAcquireCancelSpinLock(PKIRQL irql) { KeAcquireSpinLock(&g_cancelLock, irql); }
VOID IoReleaseCancelSpinLock(KIRQL irql) { KeReleaseSpinLock(&g_cancelLock, irql); }

BOOLEAN IoCancelIrp(PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Drivers read Cancel without a lock (it is volatile on Windows).
    __atomic_store_n(&irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    irp->CancelIrql = irql;
    // The cancel routine releases the cancel spin lock itself.
    routine(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
    return TRUE;
}

PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN, PIRP irp) {
    auto mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(MDL), hostk::kMdlTag));
    if (!mdl) return nullptr;
    std::memset(mdl, 0, sizeof *mdl);
    // Size records how many pages the MDL can describe, as on Windows.
    mdl->Size = static_cast<SHORT>(sizeof(MDL) + MdlCapacityPages(length) * sizeof(ULONG_PTR));
    mdl->StartVa = virtualAddress;
    mdl->ByteCount = length;
    if (irp) {
        if (!secondaryBuffer) {
            irp->MdlAddress = mdl;
        } else {
            PMDL last = irp->MdlAddress;
            while (last && last->Next) last = last->Next;
            if (last) last->Next = mdl; else irp->MdlAddress = mdl;
        }
    }
    return mdl;
}

VOID IoFreeMdl(PMDL mdl) { ExFreePoolWithTag(mdl, hostk::kMdlTag); }

VOID MmBuildMdlForNonPagedPool(PMDL mdl) {
    mdl->MappedSystemVa = mdl->StartVa;
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA;
}

VOID IoBuildPartialMdl(PMDL source, PMDL target, PVOID virtualAddress, ULONG length) {
    auto* base = static_cast<PUCHAR>(MmGetMdlVirtualAddress(source));
    auto* start = static_cast<PUCHAR>(virtualAddress);
    if (start < base || start > base + source->ByteCount) {
        hostk::ReportViolation("partial MDL outside its source MDL");
        return;
    }
    ULONG available = static_cast<ULONG>(base + source->ByteCount - start);
    if (length == 0) length = available;
    if (length > available) hostk::ReportViolation("partial MDL of %u bytes where %u remain", length, available);
    ULONG capacity = (static_cast<ULONG>(target->Size) - sizeof(MDL)) / sizeof(ULONG_PTR);
    if (MdlCapacityPages(length) > capacity) hostk::ReportViolation("target MDL too small for the partial MDL");
    target->StartVa = start;
    target->ByteOffset = 0;
    target->ByteCount = length;
    target->MappedSystemVa = (source->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) ? start : nullptr;
    target->MdlFlags = static_cast<SHORT>(MDL_PARTIAL | (source->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)));
}
