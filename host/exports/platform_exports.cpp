#include "host/exports/platform_exports.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "host/kernel/violations.h"
#include "host/wdk_host.h"

namespace {

// The C runtime routines ntoskrnl.exe exports take the Windows convention;
// the host's own do not, so the image reaches them through these.
PVOID NTAPI ExportedMemcpy(PVOID to, const void* from, SIZE_T bytes) { return std::memcpy(to, from, bytes); }
PVOID NTAPI ExportedMemmove(PVOID to, const void* from, SIZE_T bytes) { return std::memmove(to, from, bytes); }
PVOID NTAPI ExportedMemset(PVOID to, int value, SIZE_T bytes) { return std::memset(to, value, bytes); }
int NTAPI ExportedMemcmp(const void* a, const void* b, SIZE_T bytes) { return std::memcmp(a, b, bytes); }
SIZE_T NTAPI ExportedRtlCompareMemory(const void* a, const void* b, SIZE_T bytes) {
    return RtlCompareMemory(a, b, bytes);
}

// A pure virtual call in kernel mode stops the machine.
int NTAPI ExportedPurecall() {
    hostk::ReportViolation("pure virtual function called");
    std::abort();
}

struct Export {
    const char* name;
    void* routine;
};

// Takes only a routine of the Windows convention, so that a stand-in whose
// declaration lost NTAPI cannot be exported.
template <typename Result, typename... Arguments>
void* WindowsRoutine(Result(NTAPI* routine)(Arguments...)) {
    return reinterpret_cast<void*>(routine);
}

#define EXPORT(routine) {#routine, WindowsRoutine(&routine)}
#define EXPORT_AS(name, routine) {name, WindowsRoutine(&routine)}

const Export kNtoskrnl[] = {
    EXPORT(ExAcquireFastMutex), EXPORT(ExReleaseFastMutex), EXPORT(ExAllocatePoolWithTag),
    EXPORT(ExAllocatePoolZero), EXPORT(ExFreePool), EXPORT(ExFreePoolWithTag),
    EXPORT(IoAllocateIrp), EXPORT(IoFreeIrp), EXPORT(IoReuseIrp), EXPORT(IoBuildDeviceIoControlRequest),
    EXPORT(IofCallDriver), EXPORT(IofCompleteRequest), EXPORT(IoCancelIrp), EXPORT(IoAcquireCancelSpinLock),
    EXPORT(IoReleaseCancelSpinLock), EXPORT(IoAllocateMdl), EXPORT(IoFreeMdl), EXPORT(IoBuildPartialMdl),
    EXPORT(MmBuildMdlForNonPagedPool), EXPORT(IoOpenDeviceRegistryKey),
    EXPORT(KeInitializeEvent), EXPORT(KeSetEvent), EXPORT(KeResetEvent), EXPORT(KeClearEvent),
    EXPORT(KeReadStateEvent), EXPORT(KeWaitForSingleObject), EXPORT(KeDelayExecutionThread),
    EXPORT(KeStallExecutionProcessor), EXPORT(KeQuerySystemTime), EXPORT(KeQueryInterruptTime),
    EXPORT(KeQueryPerformanceCounter), EXPORT(KeInitializeSpinLock), EXPORT(KeAcquireSpinLockRaiseToDpc),
    EXPORT(KeReleaseSpinLock), EXPORT(KeAcquireSpinLockAtDpcLevel), EXPORT(KeReleaseSpinLockFromDpcLevel),
    EXPORT(KeEnterCriticalRegion), EXPORT(KeLeaveCriticalRegion), EXPORT(KeRaiseIrqlToDpcLevel),
    EXPORT(KeSaveExtendedProcessorState), EXPORT(KeRestoreExtendedProcessorState),
    EXPORT(KeGetCurrentThread), EXPORT(PsCreateSystemThread), EXPORT(PsTerminateSystemThread),
    EXPORT(ObReferenceObjectByHandle), EXPORT(ObfDereferenceObject), EXPORT(ZwClose), EXPORT(ZwCreateKey),
    EXPORT(ZwQueryValueKey), EXPORT(ZwSetValueKey),
    EXPORT_AS("RtlCompareMemory", ExportedRtlCompareMemory),
    EXPORT_AS("memcpy", ExportedMemcpy),
    EXPORT_AS("memmove", ExportedMemmove),
    EXPORT_AS("memset", ExportedMemset),
    EXPORT_AS("memcmp", ExportedMemcmp),
    EXPORT_AS("_purecall", ExportedPurecall),
};

const Export kKs[] = {
    EXPORT(KsInitializeDriver), EXPORT(KsAcquireDevice), EXPORT(KsReleaseDevice), EXPORT(KsAddItemToObjectBag),
    EXPORT(KsRemoveItemFromObjectBag), EXPORT(KsCreateFilterFactory), EXPORT(KsGetDeviceForDeviceObject),
    EXPORT(KsGetDevice), EXPORT(KsGetFilterFromIrp), EXPORT(KsGetPinFromIrp), EXPORT(KsPinGetParentFilter),
    EXPORT(KsAcquireControl), EXPORT(KsReleaseControl), EXPORT(_KsEdit), EXPORT(KsPinAttemptProcessing),
    EXPORT(KsPinGetLeadingEdgeStreamPointer), EXPORT(KsStreamPointerUnlock),
    EXPORT(KsPinGetReferenceClockInterface), EXPORT(KsPropertyHandler),
};

const Export kUsbd[] = {
    EXPORT(USBD_ParseConfigurationDescriptorEx),
    EXPORT(USBD_CreateConfigurationRequestEx),
};

#undef EXPORT
#undef EXPORT_AS

struct Module {
    const char* name;
    const Export* exports;
    unsigned count;
};

#define MODULE(name, table) {name, table, sizeof(table) / sizeof(table[0])}
const Module kModules[] = {MODULE("ntoskrnl.exe", kNtoskrnl), MODULE("ks.sys", kKs), MODULE("USBD.SYS", kUsbd)};
#undef MODULE

}  // namespace

namespace hostexports {

void* PlatformExport(const char* module, const char* name) {
    for (const Module& m : kModules) {
        if (strcasecmp(m.name, module) != 0) continue;
        // Routine names are compared exactly, as the loader compares them.
        for (unsigned i = 0; i < m.count; ++i) {
            if (std::strcmp(m.exports[i].name, name) == 0) return m.exports[i].routine;
        }
        return nullptr;
    }
    return nullptr;
}

}  // namespace hostexports
