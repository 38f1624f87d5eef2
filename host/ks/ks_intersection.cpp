// Data intersection (KSPROPERTY_PIN_DATAINTERSECTION): the caller's range is
// offered to the pin's intersect handler once for each of the pin's data
// ranges whose major format, subformat and specifier agree with it, until a
// handler answers anything but STATUS_NO_MATCH.
#include "host/ks/ks_objects.h"

namespace hostks {
namespace {

const GUID kPinPropertySet = {STATIC_KSPROPSETID_Pin};

}  // namespace

NTSTATUS IntersectPinRange(HostFilter* filter, ULONG pinId, const KSDATARANGE* range, ULONG bufferSize,
                           PVOID buffer, ULONG* dataSize) {
    *dataSize = 0;
    // The descriptor and its ranges are read, and the intersect handler is
    // called, under the filter's control mutex, which the driver holds to
    // edit them.
    ClassMutexHold control(filter->control);
    const KSFILTER_DESCRIPTOR* descriptor = filter->filter.Descriptor;
    const KSPIN_DESCRIPTOR_EX* pin = PinFactory(descriptor, pinId);
    if (!pin) return STATUS_INVALID_PARAMETER;
    if (!range || range->FormatSize < sizeof(KSDATARANGE)) return STATUS_INVALID_PARAMETER;
    if (!pin->IntersectHandler) return STATUS_NO_MATCH;

    KSP_PIN request{};
    request.Property.Set = kPinPropertySet;
    request.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = pinId;
    ObjectIrp irp(&filter->file, IRP_MJ_DEVICE_CONTROL);
    irp.stack.Parameters.DeviceIoControl.IoControlCode = IOCTL_KS_PROPERTY;
    irp.stack.Parameters.DeviceIoControl.Type3InputBuffer = &request;
    irp.stack.Parameters.DeviceIoControl.InputBufferLength = sizeof request;
    irp.stack.Parameters.DeviceIoControl.OutputBufferLength = bufferSize;
    irp.irp.UserBuffer = buffer;

    // The handler gets its own copy of the caller's range: it is the
    // caller's memory, and a handler must not be able to change it.
    std::vector<uint8_t> callerCopy(reinterpret_cast<const uint8_t*>(range),
                                    reinterpret_cast<const uint8_t*>(range) + range->FormatSize);
    auto* caller = reinterpret_cast<PKSDATARANGE>(callerCopy.data());
    for (ULONG i = 0; i < pin->PinDescriptor.DataRangesCount; ++i) {
        PKSDATARANGE matching = pin->PinDescriptor.DataRanges[i];
        if (!FormatsAgree(matching, caller)) continue;
        ULONG written = 0;
        NTSTATUS status =
            pin->IntersectHandler(&filter->filter, &irp.irp, &request, caller, matching, bufferSize, buffer, &written);
        if (status != STATUS_NO_MATCH) {
            *dataSize = written;
            return status;
        }
    }
    return STATUS_NO_MATCH;
}

}  // namespace hostks
