// The pin properties the class answers itself on a filter (KSPROPSETID_Pin,
// as KsPinPropertyHandler answers them from the filter's descriptor): how
// many pin factories there are, and each factory's data ranges as they are
// now, which is what a client reads to learn the formats of the next pin.
// The data intersection goes through IntersectPinRange; the other items of
// the set are not modelled and answer STATUS_NOT_FOUND.
#include <cstring>

#include "host/ks/ks_objects.h"

namespace hostks {
namespace {

const GUID kPinPropertySet = {STATIC_KSPROPSETID_Pin};
constexpr ULONG kQuadAlign = 8;

ULONG QuadAligned(ULONG size) { return (size + kQuadAlign - 1) & ~(kQuadAlign - 1); }

// A list in the multiple-item form (KSMULTIPLE_ITEM, then each item
// quad-aligned), answered by the length of the caller's buffer as
// KsHandleSizedListQuery answers: none asks the size (a warning with the
// size as the bytes returned), a ULONG gets the size, a KSMULTIPLE_ITEM gets
// the header, anything shorter than the whole list is too small.
NTSTATUS AnswerSizedList(const KSPIN_DESCRIPTOR_EX* pin, PVOID data, ULONG dataLength, ULONG* returned) {
    KSMULTIPLE_ITEM header{sizeof(KSMULTIPLE_ITEM), pin->PinDescriptor.DataRangesCount};
    for (ULONG i = 0; i < header.Count; ++i) header.Size += QuadAligned(pin->PinDescriptor.DataRanges[i]->FormatSize);
    if (dataLength == 0) {
        *returned = header.Size;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (dataLength == sizeof(ULONG)) {
        std::memcpy(data, &header.Size, sizeof(ULONG));
        *returned = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    if (dataLength < sizeof header) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(data, &header, sizeof header);
    *returned = sizeof header;
    if (dataLength == sizeof header) return STATUS_SUCCESS;
    if (dataLength < header.Size) {
        *returned = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* at = static_cast<UCHAR*>(data) + sizeof header;
    for (ULONG i = 0; i < header.Count; ++i) {
        const KSDATARANGE* range = pin->PinDescriptor.DataRanges[i];
        const ULONG padded = QuadAligned(range->FormatSize);
        std::memset(at, 0, padded);
        std::memcpy(at, range, range->FormatSize);
        at += padded;
    }
    *returned = header.Size;
    return STATUS_SUCCESS;
}

}  // namespace

bool IsPinPropertyRequest(const KSPROPERTY* property, ULONG propertyLength) {
    return property && propertyLength >= sizeof(KSPROPERTY) && IsEqualGUID(property->Set, kPinPropertySet);
}

NTSTATUS PinPropertyRequest(HostFilter* filter, const KSPROPERTY* property, ULONG propertyLength, PVOID data,
                            ULONG dataLength, ULONG* returned) {
    *returned = 0;
    if ((property->Flags & ~KSPROPERTY_TYPE_TOPOLOGY) != KSPROPERTY_TYPE_GET) return STATUS_NOT_FOUND;
    if (dataLength && !data) return STATUS_INVALID_PARAMETER;
    // The descriptor is read under the filter's control mutex, under which
    // the driver edits it (KsEdit) at run time.
    ClassMutexHold control(filter->control);
    const KSFILTER_DESCRIPTOR* descriptor = filter->filter.Descriptor;
    if (property->Id == KSPROPERTY_PIN_CTYPES) {
        if (dataLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(data, &descriptor->PinDescriptorsCount, sizeof(ULONG));
        *returned = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    if (property->Id != KSPROPERTY_PIN_DATARANGES) return STATUS_NOT_FOUND;
    if (propertyLength < sizeof(KSP_PIN)) return STATUS_BUFFER_TOO_SMALL;
    KSP_PIN request;
    std::memcpy(&request, property, sizeof request);
    const KSPIN_DESCRIPTOR_EX* pin = PinFactory(descriptor, request.PinId);
    if (!pin) return STATUS_INVALID_PARAMETER;
    return AnswerSizedList(pin, data, dataLength, returned);
}

}  // namespace hostks
