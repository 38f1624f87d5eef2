// I/O manager stand-in: device and driver objects, IRPs with their stack
// locations, completion routines, cancellation and MDLs. IRPs are allocated
// from the host pool (tag 'Irp ') and MDLs too ('Mdl '), so leaks and
// allocation faults cover them like any driver allocation.
#pragma once

#include "host/kernel/dispatcher.h"
#include "host/kernel/io_queue_records.h"
#include "host/kernel/pool.h"

struct _IRP;
struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;

typedef NTSTATUS NTAPI DRIVER_DISPATCH(struct _DEVICE_OBJECT* device, struct _IRP* irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef NTSTATUS NTAPI IO_COMPLETION_ROUTINE(struct _DEVICE_OBJECT* device, struct _IRP* irp, PVOID context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;
typedef VOID NTAPI DRIVER_CANCEL(struct _DEVICE_OBJECT* device, struct _IRP* irp);
typedef DRIVER_CANCEL* PDRIVER_CANCEL;
typedef NTSTATUS NTAPI DRIVER_INITIALIZE(struct _DRIVER_OBJECT* driver, PUNICODE_STRING registryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef VOID NTAPI DRIVER_UNLOAD(struct _DRIVER_OBJECT* driver);

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80
#define SL_PENDING_RETURNED 0x01

#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define CTL_CODE(type, function, method, access) (((type) << 16) | ((access) << 14) | ((function) << 2) | (method))

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _MDL {
    struct _MDL* Next;
    SHORT Size;
    SHORT MdlFlags;
    PVOID Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_PARTIAL 0x0010

typedef VOID NTAPI IO_APC_ROUTINE(PVOID apcContext, PIO_STATUS_BLOCK ioStatusBlock, ULONG reserved);
typedef IO_APC_ROUTINE* PIO_APC_ROUTINE;

// The members the stand-in has no use for are kept under wdm.h's names, so
// that every member it does use sits at its x64 offset.
typedef struct _DRIVER_OBJECT {
    SHORT Type;
    SHORT Size;
    struct _DEVICE_OBJECT* DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PVOID DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    DRIVER_UNLOAD* DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef struct _DEVICE_OBJECT {
    SHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    struct _DRIVER_OBJECT* DriverObject;
    struct _DEVICE_OBJECT* NextDevice;
    struct _DEVICE_OBJECT* AttachedDevice;
    struct _IRP* CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    ULONG DeviceType;
    CHAR StackSize;
    union {
        LIST_ENTRY ListEntry;
        WAIT_CONTEXT_BLOCK Wcb;
    } Queue;
    ULONG AlignmentRequirement;
    KDEVICE_QUEUE DeviceQueue;
    KDPC Dpc;
    ULONG ActiveThreadCount;
    PVOID SecurityDescriptor;
    KEVENT DeviceLock;
    USHORT SectorSize;
    USHORT Spare1;
    PVOID DeviceObjectExtension;
    PVOID Reserved;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

// On x64 wdm.h aligns the second and later members of some parameter blocks
// to a pointer.
#define POINTER_ALIGNMENT __attribute__((aligned(8)))

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PVOID FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

typedef struct _IRP {
    SHORT Type;
    USHORT Size;
    PMDL MdlAddress;
    ULONG Flags;
    union {
        struct _IRP* MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            union {
                PIO_APC_ROUTINE UserApcRoutine;
                PVOID IssuingProcess;
            };
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    PDRIVER_CANCEL CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            union {
                KDEVICE_QUEUE_ENTRY DeviceQueueEntry;
                struct {
                    PVOID DriverContext[4];
                };
            };
            struct _KTHREAD* Thread;
            PCHAR AuxiliaryBuffer;
            struct {
                LIST_ENTRY ListEntry;
                union {
                    struct _IO_STACK_LOCATION* CurrentStackLocation;
                    ULONG PacketType;
                };
            };
            PVOID OriginalFileObject;
        } Overlay;
        KAPC Apc;
        PVOID CompletionKey;
    } Tail;
} IRP, *PIRP;

PIRP NTAPI IoAllocateIrp(CHAR stackSize, BOOLEAN chargeQuota);
VOID NTAPI IoFreeIrp(PIRP irp);
VOID NTAPI IoReuseIrp(PIRP irp, NTSTATUS status);
PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT device, PVOID inputBuffer,
                                         ULONG inputBufferLength, PVOID outputBuffer, ULONG outputBufferLength,
                                         BOOLEAN internalDeviceIoControl, PKEVENT event,
                                         PIO_STATUS_BLOCK ioStatusBlock);
NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT device, PIRP irp);
#define IoCallDriver IofCallDriver
VOID NTAPI IofCompleteRequest(PIRP irp, CHAR priorityBoost);
#define IoCompleteRequest IofCompleteRequest
BOOLEAN NTAPI IoCancelIrp(PIRP irp);
VOID NTAPI IoAcquireCancelSpinLock(PKIRQL irql);
VOID NTAPI IoReleaseCancelSpinLock(KIRQL irql);

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation; }
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation - 1; }
inline VOID IoSetNextIrpStackLocation(PIRP irp) {
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
}
inline VOID IoSkipCurrentIrpStackLocation(PIRP irp) {
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
}
inline VOID IoMarkIrpPending(PIRP irp) { IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED; }
inline VOID IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context, BOOLEAN onSuccess,
                                   BOOLEAN onError, BOOLEAN onCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->CompletionRoutine = routine;
    next->Context = context;
    next->Control = 0;
    if (onSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (onError) next->Control |= SL_INVOKE_ON_ERROR;
    if (onCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine) {
    return __atomic_exchange_n(&irp->CancelRoutine, routine, __ATOMIC_SEQ_CST);
}

PMDL NTAPI IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN chargeQuota, PIRP irp);
VOID NTAPI IoFreeMdl(PMDL mdl);
VOID NTAPI MmBuildMdlForNonPagedPool(PMDL mdl);
VOID NTAPI IoBuildPartialMdl(PMDL sourceMdl, PMDL targetMdl, PVOID virtualAddress, ULONG length);

#define MmGetMdlByteCount(mdl) ((mdl)->ByteCount)
#define MmGetMdlVirtualAddress(mdl) ((PVOID)((PUCHAR)((mdl)->StartVa) + (mdl)->ByteOffset))
#define MmGetSystemAddressForMdlSafe(mdl, priority) ((mdl)->MappedSystemVa)
#define NormalPagePriority 16
