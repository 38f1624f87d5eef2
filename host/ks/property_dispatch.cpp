// The class's property handler: what KsPropertyHandler does with an
// IOCTL_KS_PROPERTY request before a minidriver's handler sees it.
//
// The request (Type3InputBuffer) and the data (UserBuffer) come from the
// caller, so everything is checked first: the request must hold a whole
// KSPROPERTY; the set is found by GUID and the item by id; the request must
// reach the item's MinProperty; the operation must be one the item offers;
// a get's or a set's data must reach the item's MinData. Only then is the handler called, with the IRP (so that
// KsGetFilterFromIrp works), and with copies of the buffers in system
// memory, as the class makes them for a METHOD_NEITHER request; a get's data
// is copied back to the caller afterwards.
//
// The statuses for a request refused before any handler are the platform's
// own business; this stand-in answers:
//   request shorter than KSPROPERTY        STATUS_INVALID_BUFFER_SIZE
//   unknown set or id                      STATUS_NOT_FOUND
//   get or set the item does not offer     STATUS_NOT_FOUND
//   flags other than get or set (the
//   topology bit aside), or support
//   queries with malformed buffers         STATUS_INVALID_PARAMETER
//   request below the item's minimum, for
//   every operation, support queries too,
//   or data below it for a get or a set    STATUS_BUFFER_TOO_SMALL
//   a get with no data buffer at all       STATUS_BUFFER_OVERFLOW, Information = the item's data size
#include <cstring>

#include "host/kernel/violations.h"
#include "host/ks/ks.h"

namespace {

constexpr ULONG kPropertyBufferTag = 0x4B735072;  // 'KsPr'
constexpr ULONG kQuadAlign = 8;

const KSPROPERTY_ITEM* FindItem(const KSPROPERTY_SET* sets, ULONG setsCount, const KSPROPERTY& request) {
    for (ULONG i = 0; i < setsCount; ++i) {
        if (!IsEqualGUID(*sets[i].Set, request.Set)) continue;
        for (ULONG k = 0; k < sets[i].PropertiesCount; ++k) {
            if (sets[i].PropertyItem[k].PropertyId == request.Id) return &sets[i].PropertyItem[k];
        }
        return nullptr;
    }
    return nullptr;
}

}  // namespace

#ifndef STATUS_INVALID_BUFFER_SIZE
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)
#endif

NTSTATUS KsPropertyHandler(PIRP irp, ULONG propertySetsCount, const KSPROPERTY_SET* propertySet) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) hostk::ReportViolation("KsPropertyHandler above PASSIVE_LEVEL");
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* callerRequest = static_cast<const KSPROPERTY*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
    PVOID callerData = irp->UserBuffer;
    irp->IoStatus.Information = 0;

    if (!callerRequest || inputLength < sizeof(KSPROPERTY)) return STATUS_INVALID_BUFFER_SIZE;
    KSPROPERTY request;
    std::memcpy(&request, callerRequest, sizeof request);
    const KSPROPERTY_ITEM* item = FindItem(propertySet, propertySetsCount, request);
    if (!item) return STATUS_NOT_FOUND;
    // MinProperty is the length of the item's property identifier, which a
    // support query carries as much as a get or a set. The documentation
    // does not say whether the class answers a support query before it
    // checks that length; this stand-in checks it first, the stricter of
    // the two orders, so that an item that answers here answers on either.
    if (inputLength < item->MinProperty) return STATUS_BUFFER_TOO_SMALL;

    // The topology bit only says a node id follows; it does not choose the
    // operation, and it is handed on to the handler as it came.
    const ULONG operation = request.Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
    switch (operation) {
    case KSPROPERTY_TYPE_GET:
    case KSPROPERTY_TYPE_SET:
        break;
    case KSPROPERTY_TYPE_SETSUPPORT:
        // The set is supported; the class answers without the driver.
        return STATUS_SUCCESS;
    case KSPROPERTY_TYPE_BASICSUPPORT: {
        // Items without value ranges or a support handler: the class
        // answers the access flags.
        if (outputLength == 0) {
            irp->IoStatus.Information = sizeof(ULONG);
            return STATUS_BUFFER_OVERFLOW;
        }
        if (outputLength < sizeof(ULONG) || !callerData) return STATUS_INVALID_PARAMETER;
        ULONG access = (item->GetPropertyHandler ? KSPROPERTY_TYPE_GET : 0) |
                       (item->SetPropertyHandler ? KSPROPERTY_TYPE_SET : 0);
        std::memcpy(callerData, &access, sizeof access);
        irp->IoStatus.Information = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
    const bool isGet = operation == KSPROPERTY_TYPE_GET;
    PFNKSHANDLER handler = isGet ? item->GetPropertyHandler : item->SetPropertyHandler;
    if (!handler) return STATUS_NOT_FOUND;

    if (isGet && outputLength == 0 && item->MinData > 0) {
        // A get without a buffer asks how much data the property has.
        irp->IoStatus.Information = item->MinData;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (outputLength < item->MinData) return STATUS_BUFFER_TOO_SMALL;
    if (outputLength && !callerData) return STATUS_INVALID_PARAMETER;

    // One system buffer: the request, quad-aligned, then the data.
    const ULONG dataOffset = (inputLength + kQuadAlign - 1) & ~(kQuadAlign - 1);
    auto* system = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPoolNx, dataOffset + outputLength + 1, kPropertyBufferTag));
    if (!system) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(system, callerRequest, inputLength);
    if (outputLength) std::memcpy(system + dataOffset, callerData, outputLength);

    // A get answers at least the item's data unless the handler says less.
    irp->IoStatus.Information = isGet ? item->MinData : 0;
    NTSTATUS status = handler(irp, reinterpret_cast<PKSIDENTIFIER>(system), outputLength ? system + dataOffset : nullptr);
    if (isGet && NT_SUCCESS(status)) {
        ULONG_PTR returned = irp->IoStatus.Information;
        if (returned > outputLength) returned = outputLength;
        std::memcpy(callerData, system + dataOffset, returned);
        irp->IoStatus.Information = returned;
    } else if (!NT_SUCCESS(status)) {
        irp->IoStatus.Information = 0;
    }
    ExFreePoolWithTag(system, kPropertyBufferTag);
    return status;
}
