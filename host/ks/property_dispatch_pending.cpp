// Stand-in for the class's property handler until property dispatch lands
// (host/ks/property_dispatch.cpp, which replaces this file: see
// README-ks.md). It knows the sets of the table it is given and nothing of
// their items.
#include "ks.h"

NTSTATUS KsPropertyHandler(PIRP irp, ULONG propertySetsCount, const KSPROPERTY_SET* propertySet) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(KSPROPERTY)) return STATUS_BUFFER_TOO_SMALL;
    auto* request = static_cast<const KSPROPERTY*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
    for (ULONG i = 0; i < propertySetsCount; ++i) {
        if (IsEqualGUID(*propertySet[i].Set, request->Set)) return STATUS_NOT_IMPLEMENTED;
    }
    return STATUS_NOT_FOUND;
}
