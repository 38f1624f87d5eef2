// The capture filter: create and close, the frame geometry, the filter's own
// data range, and the filter descriptor.
#include "driver/capture/capture_filter.h"

#include "driver/camera/settings_store.h"
#include "driver/camera/property_set.h"
#include "driver/capture/capture_pin.h"
#include "driver/device/device_context.h"
#include "driver/device/pool_tags.h"

namespace {

// One lock for the whole driver: a pin being created must not slip in
// between SetFrameGeometry's test of pinOpen and its changes. A spin lock
// (zero is its released state, so no initialisation is needed): the
// sections only store a few dozen fields and never wait.
KSPIN_LOCK FrameGeometryLock = 0;

VOID NTAPI FreeFilterContext(PVOID context) { ExFreePoolWithTag(context, ContextPoolTag); }

}  // namespace

VOID SetFrameGeometry(DeviceContext* context, LONG width, LONG height) {
    KIRQL irql;
    KeAcquireSpinLock(&FrameGeometryLock, &irql);
    if (ReadNoFence(&context->pinOpen)) {
        KeReleaseSpinLock(&FrameGeometryLock, irql);
        return;
    }
    context->settings.subSample = 0;
    context->settings.roiX = 0;
    context->settings.roiY = 0;
    context->settings.roiWidth = SensorWidth;
    context->settings.roiHeight = SensorHeight;
    context->frameWidth = width;
    context->frameHeight = static_cast<ULONG>(height);
    context->outputHeight = height;
    context->outputWidth = width & ~(OutputWidthGranularity - 1);
    KeReleaseSpinLock(&FrameGeometryLock, irql);
}

VOID GetDeliveredGeometry(DeviceContext* context, LONG* width, LONG* height) {
    KIRQL irql;
    KeAcquireSpinLock(&FrameGeometryLock, &irql);
    *width = context->outputWidth;
    *height = context->outputHeight;
    KeReleaseSpinLock(&FrameGeometryLock, irql);
}

BOOLEAN MarkPinOpen(DeviceContext* context, const KS_BITMAPINFOHEADER& bitmap) {
    KIRQL irql;
    KeAcquireSpinLock(&FrameGeometryLock, &irql);
    BOOLEAN fits = FormatFitsGeometry(bitmap, context->outputWidth, context->outputHeight);
    if (fits) InterlockedIncrement(&context->pinOpen);
    KeReleaseSpinLock(&FrameGeometryLock, irql);
    return fits;
}

VOID MarkPinClosed(DeviceContext* context) {
    KIRQL irql;
    KeAcquireSpinLock(&FrameGeometryLock, &irql);
    if (ReadNoFence(&context->pinOpen) > 0) InterlockedDecrement(&context->pinOpen);
    KeReleaseSpinLock(&FrameGeometryLock, irql);
}

VOID OfferDeliveredGeometry(PKSFILTER filter) {
    LONG width = 0, height = 0;
    GetDeliveredGeometry(DeviceContextOf(KsFilterGetDevice(filter)), &width, &height);
    RewriteCaptureDataRange(FilterContextOf(filter)->dataRange, width, height);
}

namespace {

// Gives the filter its own copy of its descriptor, down through the capture
// pin's descriptor and data range list to the range itself, so that what one
// filter's geometry change writes no other filter ever reads. The copies
// belong to the filter's object bag and go with the filter. The class holds
// the filter's control mutex during create, as editing the bag needs.
NTSTATUS EditOwnDataRange(PKSFILTER filter, FilterContext* context) {
    NTSTATUS status = KsEdit(filter, &filter->Descriptor, RangePoolTag);
    if (!NT_SUCCESS(status)) return status;
    auto* descriptor = const_cast<KSFILTER_DESCRIPTOR*>(filter->Descriptor);
    ULONG pinsSize = descriptor->PinDescriptorsCount * descriptor->PinDescriptorSize;
    status = KsEditSized(filter, &descriptor->PinDescriptors, pinsSize, pinsSize, RangePoolTag);
    if (!NT_SUCCESS(status)) return status;
    // The capture pin is the filter's only pin, with its only range.
    auto* pin = const_cast<KSPIN_DESCRIPTOR_EX*>(descriptor->PinDescriptors);
    ULONG listSize = pin->PinDescriptor.DataRangesCount * sizeof(PKSDATARANGE);
    status = KsEditSized(filter, &pin->PinDescriptor.DataRanges, listSize, listSize, RangePoolTag);
    if (!NT_SUCCESS(status)) return status;
    auto* ranges = const_cast<PKSDATARANGE*>(pin->PinDescriptor.DataRanges);
    status = KsEditSized(filter, &ranges[0], sizeof(KS_DATARANGE_VIDEO), sizeof(KS_DATARANGE_VIDEO), RangePoolTag);
    if (!NT_SUCCESS(status)) return status;
    context->dataRange = reinterpret_cast<KS_DATARANGE_VIDEO*>(ranges[0]);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP) {
    PAGED_CODE();
    auto context = static_cast<FilterContext*>(AllocateZeroed(sizeof(FilterContext), ContextPoolTag));
    if (!context) return STATUS_INSUFFICIENT_RESOURCES;
    context->filter = filter;
    NTSTATUS status = KsAddItemToObjectBag(filter->Bag, context, FreeFilterContext);
    if (!NT_SUCCESS(status)) {
        FreeFilterContext(context);
        return status;
    }
    filter->Context = context;
    // A failed create has the class empty the bag, edited copies included.
    status = EditOwnDataRange(filter, context);
    if (!NT_SUCCESS(status)) return status;
    OfferDeliveredGeometry(filter);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FilterClose(PKSFILTER filter, PIRP) {
    PAGED_CODE();
    SaveSettings(DeviceContextOf(KsFilterGetDevice(filter)));
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Descriptors
// ---------------------------------------------------------------------------

namespace {

const KSFILTER_DISPATCH CaptureFilterDispatch = {
    FilterCreate,  // Create
    FilterClose,   // Close
    nullptr,       // Process: the pin processes (pin-centric)
    nullptr,       // Reset
};

// Video and capture for DirectShow and the KS proxy; video camera for
// Windows 10's Frame Server, Media Foundation and the apps built on them,
// which list no camera without it.
const GUID CaptureFilterCategories[] = {
    {STATIC_KSCATEGORY_VIDEO},
    {STATIC_KSCATEGORY_CAPTURE},
    {STATIC_KSCATEGORY_VIDEO_CAMERA},
};

const GUID CaptureFilterReferenceGuid = {STATIC_KSNAME_Filter};

}  // namespace

const KSFILTER_DESCRIPTOR CaptureFilterDescriptor = {
    &CaptureFilterDispatch,              // Dispatch
    &CameraFilterAutomationTable,        // AutomationTable: CameraPropertySet
    KSFILTER_DESCRIPTOR_VERSION,         // Version
    0,                                   // Flags
    &CaptureFilterReferenceGuid,         // ReferenceGuid
    SIZEOF_ARRAY(CapturePinDescriptors), // PinDescriptorsCount
    sizeof(KSPIN_DESCRIPTOR_EX),         // PinDescriptorSize
    CapturePinDescriptors,               // PinDescriptors
    SIZEOF_ARRAY(CaptureFilterCategories), // CategoriesCount
    CaptureFilterCategories,             // Categories
    0,                                   // NodeDescriptorsCount
    0,                                   // NodeDescriptorSize
    nullptr,                             // NodeDescriptors
    0,                                   // ConnectionsCount
    nullptr,                             // Connections
    nullptr,                             // ComponentId
};
