// The real WDK headers, as the Windows build of the driver sees them.
//
// The kernel streaming and USB headers are included in the order a WDK
// minidriver uses: the kernel first, then ks.h and ksmedia.h, then the USB
// definitions and the USBD library routines. What follows is only what the
// mingw-w64 edition of these headers needs to compile with g++; with the
// Microsoft compiler the same includes work as they are.
#pragma once

// g++ has no built-in Microsoft intrinsics: <intrin.h> declares them (and the
// Interlocked* family the kernel headers map onto them) and must come before
// the kernel headers.
#if defined(__GNUC__)
#include <intrin.h>
#endif

// wdm.h carries inline GNU versions of InterlockedBitTestAndSet and
// InterlockedBitTestAndReset that collide with the declarations <intrin.h>
// already made. Compile wdm.h's copies under other names and use the
// intrinsics under the real names.
#if defined(__GNUC__)
#define InterlockedBitTestAndSet WdmInlineInterlockedBitTestAndSet
#define InterlockedBitTestAndReset WdmInlineInterlockedBitTestAndReset
#endif

// Included by the WDK's names: mingw-w64 keeps the kernel headers in its
// include/ddk folder, which the build puts on the include path (ntddk.h
// itself includes <wdm.h> that way).
#include <ntddk.h>

#if defined(__GNUC__)
#undef InterlockedBitTestAndSet
#undef InterlockedBitTestAndReset
#endif

// ksmedia.h uses the user-mode basic types (BYTE, WORD, DWORD, FLOAT, RECT)
// and TCHAR, which a kernel compilation does not otherwise see. windef.h
// would also define min and max as macros; the driver does not want them.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windef.h>
#ifndef _TCHAR_DEFINED
#define _TCHAR_DEFINED
typedef WCHAR TCHAR, *PTCHAR;
#endif

// mingw-w64's ks.h has the device descriptor of the first AVStream release,
// without the Flags member the WDK's has had since. Compile its declarations
// under other names and declare the WDK's layout and the routines taking it
// below (the member is trailing, so the class reads both alike).
#if defined(__MINGW32__)
#define _KSDEVICE_DESCRIPTOR MingwKsDeviceDescriptorWithoutFlags
#define KSDEVICE_DESCRIPTOR MINGW_KSDEVICE_DESCRIPTOR_WITHOUT_FLAGS
#define PKSDEVICE_DESCRIPTOR MINGW_PKSDEVICE_DESCRIPTOR_WITHOUT_FLAGS
#define KsInitializeDriver MingwKsInitializeDriverWithoutFlags
#define KsCreateDevice MingwKsCreateDeviceWithoutFlags
#define KsInitializeDevice MingwKsInitializeDeviceWithoutFlags
#endif

// The kernel's IUnknown comes before ks.h, which declares IKsReferenceClock
// and KsPinGetReferenceClockInterface only when it has been seen (mingw-w64
// names the WDK's unknown.h punknown.h).
#if defined(__MINGW32__)
// Its interface macros use two declaration specifiers that only the user-mode
// winnt.h defines; neither changes code generation here.
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW
#endif
#include <punknown.h>
#else
#include <unknown.h>
#endif

#include <ks.h>

#if defined(__MINGW32__)
#undef _KSDEVICE_DESCRIPTOR
#undef KSDEVICE_DESCRIPTOR
#undef PKSDEVICE_DESCRIPTOR
#undef KsInitializeDriver
#undef KsCreateDevice
#undef KsInitializeDevice

typedef struct _KSDEVICE_DESCRIPTOR {
    const KSDEVICE_DISPATCH* Dispatch;
    ULONG FilterDescriptorsCount;
    const KSFILTER_DESCRIPTOR* const* FilterDescriptors;
    ULONG Version;  // 0, or KSDEVICE_DESCRIPTOR_VERSION when Flags is valid
    ULONG Flags;
} KSDEVICE_DESCRIPTOR, *PKSDEVICE_DESCRIPTOR;

#ifndef KSDEVICE_FLAG_ENABLE_REMOTE_WAKEUP
#define KSDEVICE_FLAG_ENABLE_REMOTE_WAKEUP 0x00000001
#endif

extern "C" {
KSDDKAPI NTSTATUS NTAPI KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                           const KSDEVICE_DESCRIPTOR* Descriptor);
KSDDKAPI NTSTATUS NTAPI KsCreateDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                                       const KSDEVICE_DESCRIPTOR* Descriptor, ULONG ExtensionSize,
                                       PKSDEVICE* Device);
KSDDKAPI NTSTATUS NTAPI KsInitializeDevice(PDEVICE_OBJECT FunctionalDeviceObject,
                                           PDEVICE_OBJECT PhysicalDeviceObject,
                                           PDEVICE_OBJECT NextDeviceObject,
                                           const KSDEVICE_DESCRIPTOR* Descriptor);
}
#endif  // __MINGW32__

#include <ksmedia.h>

#include <usb.h>
#include <usbioctl.h>
#include <usbdi.h>
// mingw-w64's usbdlib.h lacks the C linkage block of the WDK's.
#if defined(__MINGW32__) && defined(__cplusplus)
extern "C" {
#endif
#include <usbdlib.h>
#if defined(__MINGW32__) && defined(__cplusplus)
}
#endif

// windef.h keeps the 16-bit pointer and calling-convention keywords as empty
// macros. None of the headers above needs them any more; undefine them so that
// the driver may use these words as ordinary names.
#undef far
#undef near
#undef pascal
#undef cdecl

// basetyps.h (pulled in by the kernel and streaming headers) makes
// "interface" a keyword-like macro for declaring COM interfaces. The driver
// declares none and names USB interfaces "interface".
#undef interface

// Routines of the current WDK's wdm.h that the mingw-w64 edition lacks, with
// the WDK's meaning. The Microsoft WDK declares them itself.
#if defined(__MINGW32__)

// x64: a full barrier; the WDK uses the same locked store.
#ifndef KeMemoryBarrier
#define KeMemoryBarrier() __faststorefence()
#endif
#ifndef KeMemoryBarrierWithoutFence
#define KeMemoryBarrierWithoutFence() _ReadWriteBarrier()
#endif

// Single reads and writes of a shared 32-bit value: never torn, never
// combined or elided by the compiler; Acquire/Release also order the
// surrounding accesses.
FORCEINLINE LONG ReadNoFence(_In_ LONG const volatile* Source)
{
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}

FORCEINLINE LONG ReadAcquire(_In_ LONG const volatile* Source)
{
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}

FORCEINLINE VOID WriteNoFence(_Out_ LONG volatile* Destination, _In_ LONG Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}

FORCEINLINE VOID WriteRelease(_Out_ LONG volatile* Destination, _In_ LONG Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}

// Zero-filled pool, in the WDK's form for systems before ExAllocatePool2.
FORCEINLINE PVOID ExAllocatePoolZero(_In_ POOL_TYPE PoolType, _In_ SIZE_T NumberOfBytes, _In_ ULONG Tag)
{
    PVOID Block = ExAllocatePoolWithTag(PoolType, NumberOfBytes, Tag);
    if (Block != NULL) {
        RtlZeroMemory(Block, NumberOfBytes);
    }
    return Block;
}

// mingw-w64's ntddk.h spells the extended-state masks with the Microsoft
// compiler's 1i64 literal, which g++ does not read; the AVX mask (the YMM
// upper halves, state component 2) as winnt.h names it.
#ifndef XSTATE_MASK_AVX
#define XSTATE_MASK_AVX (1ULL << XSTATE_GSSE)
#endif

#endif  // __MINGW32__
