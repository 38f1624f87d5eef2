// The capture filter: create and close, the frame geometry with the rewrite
// of the driver-wide data range, and the filter descriptor.
#include "capture/capture_filter.h"

#include "camera/settings_store.h"
#include "camera/property_set.h"
#include "capture/capture_pin.h"
#include "device/device_context.h"
#include "device/pool_tags.h"

namespace {

// One lock for the whole driver. The data range is one record shared by
// every device's filter, so two devices changing their geometry at once
// would interleave their rewrites; and a pin being created must not slip in
// between SetFrameGeometry's test of pinOpen and its changes. A spin lock
// (zero is its released state, so no initialisation is needed): the
// sections only store a few dozen fields and never wait.
KSPIN_LOCK FrameGeometryLock = 0;

VOID FreeFilterContext(PVOID context) { ExFreePoolWithTag(context, ContextPoolTag); }

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
    context->outputWidth = width & ~7;
    RewriteCaptureDataRange(context->outputWidth, height);
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

NTSTATUS FilterCreate(PKSFILTER filter, PIRP) {
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
    return STATUS_SUCCESS;
}

NTSTATUS FilterClose(PKSFILTER filter, PIRP) {
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

const GUID CaptureFilterCategories[] = {
    {STATIC_KSCATEGORY_VIDEO},
    {STATIC_KSCATEGORY_CAPTURE},
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
