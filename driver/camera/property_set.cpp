// The handlers of CameraPropertySet and the filter's automation table.
//
// Three kinds of handler: one that serves the values kept in the settings or
// asked of the camera (the saved settings through their rows in
// camera_settings.h), one each for Roi and SendCommand20, and one tiny handler
// per constant. The class finds the item, refuses requests the item does not
// offer or whose buffers are below its sizes, and only then calls in here.
#include "driver/camera/property_set.h"

#include "driver/camera/camera_commands.h"
#include "driver/camera/camera_settings.h"
#include "driver/camera/sensor_registers.h"
#include "driver/camera/trigger_mode.h"
#include "driver/camera/white_balance.h"
#include "driver/capture/capture_filter.h"
#include "driver/device/device_context.h"

const GUID CameraPropertySetId = CAMERA_PROPERTY_SET_GUID;

namespace {

LONG* ValueOf(PVOID data) { return &static_cast<CameraPropertyValue*>(data)->Value; }

// Only a request whose flags are exactly KSPROPERTY_TYPE_SET is a set; the
// class may pass other flags along (the topology bit), and those read.
BOOLEAN IsSet(const KSIDENTIFIER* request) { return request->Flags == KSPROPERTY_TYPE_SET; }

DeviceContext* ContextFromIrp(PIRP irp) {
    PKSFILTER filter = KsGetFilterFromIrp(irp);
    if (!filter) return nullptr;
    PKSDEVICE device = KsFilterGetDevice(filter);
    if (!device) return nullptr;
    return static_cast<DeviceContext*>(device->Context);
}

// ---- values kept in the settings or asked of the camera ------------------

// Called with the command lock held.
LONG GetCameraValue(DeviceContext* context, ULONG id) {
    if (const CameraSettingRow* row = FindCameraSetting(id)) return ReadCameraSetting(context, *row);
    const CameraSettings* s = &context->settings;
    switch (id) {
    case PropertyExTrigger:
        // Asked of the camera every time; no answer counts as free running.
        return QueryTriggerMode(context) ? 1 : 0;
    case PropertySubSampleMax: return 0;
    case PropertySubSample: return s->subSample;
    case PropertySensorWidth: return SensorWidth;
    case PropertySensorHeight: return SensorHeight;
    case PropertyRoiX: return s->roiX;
    case PropertyRoiY: return s->roiY;
    case PropertyRoiW: return s->roiWidth;
    case PropertyRoiH: return s->roiHeight;
    case PropertyPinOpen: return ReadNoFence(&context->pinOpen);
    case PropertyExTriggerSupported: return 1;
    case PropertyHalfClock: return s->reservedSetting;
    default: return 0;  // the *Supported ids: nothing of that exists
    }
}

// Called with the command lock held. Refused values and camera failures are
// not reported: every set ends in success. HalfClock has no row and is
// ignored like the settings the driver has no feature for.
VOID SetCameraValue(DeviceContext* context, ULONG id, LONG value) {
    if (id == PropertyExTrigger) {
        SetTriggerMode(context, value != 0);
        return;
    }
    ApplyCameraSetting(context, id, value);
}

NTSTATUS NTAPI CameraValueHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    if (!irp || !request || !data) return STATUS_UNSUCCESSFUL;
    DeviceContext* context = ContextFromIrp(irp);
    if (!context) return STATUS_UNSUCCESSFUL;
    AcquireCommandLock(context);
    if (IsSet(request)) {
        SetCameraValue(context, request->Id, *ValueOf(data));
    } else {
        *ValueOf(data) = GetCameraValue(context, request->Id);
    }
    ReleaseCommandLock(context);
    return STATUS_SUCCESS;
}

// ---- Roi and SendCommand20 ------------------------------------------------

NTSTATUS NTAPI RoiHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    if (!irp || !request || !data) return STATUS_UNSUCCESSFUL;
    DeviceContext* context = ContextFromIrp(irp);
    if (!context) return STATUS_UNSUCCESSFUL;
    // Roi has nothing to answer, so a request that is not a plain set
    // changes nothing. Only the size is used; subsample, x and y are not.
    if (!IsSet(request)) return STATUS_SUCCESS;
    const CameraRoiValue* roi = static_cast<const CameraRoiValue*>(data);
    const LONG width = roi->Width;
    const LONG height = roi->Height;
    // The size comes from any client. Unchecked, a width or height beyond
    // the sensor makes the raw frame arithmetic overflow and the conversion
    // read past the raw frame, and a zero or negative one leaves a frame of
    // nothing; such a request is ignored like any refused value.
    if (width < MinimumRoiSize || width > SensorWidth || height < MinimumRoiSize || height > SensorHeight) {
        return STATUS_SUCCESS;
    }
    // The filter's control mutex first: its data range is rewritten under
    // it, and the class reads the range under it for clients. Only this
    // filter's range follows the new size; other filters of the device keep
    // what they offered (their pins' creation checks the device's size).
    PKSFILTER filter = KsGetFilterFromIrp(irp);
    KsFilterAcquireControl(filter);
    AcquireCommandLock(context);
    // Refused silently while a capture pin exists.
    SetFrameGeometry(context, width, height);
    ReleaseCommandLock(context);
    OfferDeliveredGeometry(filter);
    KsFilterReleaseControl(filter);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SendCommand20Handler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    if (!irp || !request || !data) return STATUS_UNSUCCESSFUL;
    DeviceContext* context = ContextFromIrp(irp);
    if (!context) return STATUS_UNSUCCESSFUL;
    // The value is not used. The packet is built in a buffer of its own, but
    // the lock keeps it from landing between the two halves of an exposure.
    UCHAR packet[64] = {};
    packet[0] = Command20;
    packet[1] = 0x03;
    packet[2] = 0x00;
    AcquireCommandLock(context);
    SendCameraCommand(context, packet);
    ReleaseCommandLock(context);
    return STATUS_SUCCESS;
}

// ---- constants ------------------------------------------------------------

// What a client shows as the minimum, maximum and default of the value just
// before in the table: the numbers of the value's row.
template <LONG Answer>
NTSTATUS NTAPI ConstantHandler(PIRP, PKSIDENTIFIER, PVOID data) {
    if (!data) return STATUS_UNSUCCESSFUL;
    *ValueOf(data) = Answer;
    return STATUS_SUCCESS;
}

// Ids 17..19 answer for the three colour gains together.
constexpr bool ReportedAlike(ULONG a, ULONG b) {
    return FindCameraSetting(a)->reported.minimum == FindCameraSetting(b)->reported.minimum &&
           FindCameraSetting(a)->reported.maximum == FindCameraSetting(b)->reported.maximum &&
           FindCameraSetting(a)->reported.defaultValue == FindCameraSetting(b)->reported.defaultValue;
}
static_assert(ReportedAlike(PropertyRedGain, PropertyGreenGain) && ReportedAlike(PropertyRedGain, PropertyBlueGain),
              "the colour gains are shown alike");

constexpr ULONG ValueSize = sizeof(CameraPropertyValue);
constexpr ULONG RoiSize = sizeof(CameraRoiValue);

}  // namespace

// ==== automation table =====================================================

// One item: id, get handler, minimum request and data sizes, set handler;
// no value ranges, relations, support handler or serialisation size.
// The request's minimum is the bare property header: the handlers read the
// request's set, id and flags only, and a support query (the KS proxy's
// QuerySupported sends just that header) must not be refused for the value
// its data would carry. The data buffer must hold the whole value.
#define CAMERA_PROPERTY(id, getHandler, setHandler, size) \
    { (id), {(getHandler)}, sizeof(KSPROPERTY), (size), {(setHandler)}, nullptr, 0, nullptr, nullptr, 0 }
#define VALUE_GET_SET(id) CAMERA_PROPERTY(id, CameraValueHandler, CameraValueHandler, ValueSize)
#define VALUE_GET(id) CAMERA_PROPERTY(id, CameraValueHandler, nullptr, ValueSize)
#define CONSTANT(id, answer) CAMERA_PROPERTY(id, ConstantHandler<answer>, nullptr, ValueSize)
// The ids Property<name>Min, Max and Default, answering from the row of
// `property`; REPORTED(name) for the value Property<name> itself.
#define REPORTED_BY(name, property)                                                          \
    CONSTANT(Property##name##Min, FindCameraSetting(property)->reported.minimum),            \
        CONSTANT(Property##name##Max, FindCameraSetting(property)->reported.maximum),        \
        CONSTANT(Property##name##Default, FindCameraSetting(property)->reported.defaultValue)
#define REPORTED(name) REPORTED_BY(name, Property##name)

namespace {

constexpr KSPROPERTY_ITEM CameraPropertyItems[] = {
    VALUE_GET_SET(PropertyExTrigger),
    VALUE_GET_SET(PropertyTimeout),
    VALUE_GET_SET(PropertyExposure),
    REPORTED(Exposure),
    VALUE_GET_SET(PropertyGlobalGain),
    REPORTED(GlobalGain),
    VALUE_GET_SET(PropertyFlipH),
    VALUE_GET_SET(PropertyFlipV),
    VALUE_GET_SET(PropertyColorEnable),
    VALUE_GET_SET(PropertyWhiteBalance),
    VALUE_GET_SET(PropertyRedGain),
    VALUE_GET_SET(PropertyGreenGain),
    VALUE_GET_SET(PropertyBlueGain),
    REPORTED_BY(ColorGain, PropertyRedGain),
    VALUE_GET_SET(PropertyBrightness),
    REPORTED(Brightness),
    VALUE_GET_SET(PropertyContrast),
    REPORTED(Contrast),
    VALUE_GET_SET(PropertySaturation),
    REPORTED(Saturation),
    VALUE_GET_SET(PropertyHue),
    REPORTED(Hue),
    VALUE_GET(PropertySubSampleMax),
    VALUE_GET(PropertySubSample),
    VALUE_GET(PropertySensorWidth),
    VALUE_GET(PropertySensorHeight),
    VALUE_GET(PropertyRoiX),
    VALUE_GET(PropertyRoiY),
    VALUE_GET(PropertyRoiW),
    VALUE_GET(PropertyRoiH),
    CAMERA_PROPERTY(PropertyRoi, nullptr, RoiHandler, RoiSize),
    VALUE_GET(PropertyPinOpen),
    VALUE_GET(PropertyExTriggerSupported),
    CAMERA_PROPERTY(PropertySendCommand20, nullptr, SendCommand20Handler, ValueSize),
    VALUE_GET_SET(PropertyColorCorrection),
    VALUE_GET_SET(PropertyHalfClock),
    VALUE_GET(PropertyHalfClockSupported),
    VALUE_GET(PropertyFlipHSupported),
    VALUE_GET(PropertyFlipVSupported),
    VALUE_GET(PropertyAGCSupported),
    VALUE_GET(PropertyAECSupported),
    VALUE_GET_SET(PropertyAGC),
    VALUE_GET_SET(PropertyAEC),
};

// The items are listed in id order, so that id i is found at place i when
// reading (or adding to) the table, and every id has its item.
constexpr bool ItemsInIdOrder() {
    for (ULONG i = 0; i < SIZEOF_ARRAY(CameraPropertyItems); ++i) {
        if (CameraPropertyItems[i].PropertyId != i) return false;
    }
    return true;
}
static_assert(SIZEOF_ARRAY(CameraPropertyItems) == CameraPropertyCount, "one item per property id");
static_assert(ItemsInIdOrder(), "CameraPropertyItems[i] is property id i");

const KSPROPERTY_SET CameraPropertySets[] = {
    {
        &CameraPropertySetId,  // Set
        CameraPropertyCount,   // PropertiesCount
        CameraPropertyItems,   // PropertyItem
        0,                     // FastIoCount
        nullptr,               // FastIoTable
    },
};

}  // namespace

const KSAUTOMATION_TABLE CameraFilterAutomationTable = {
    SIZEOF_ARRAY(CameraPropertySets),  // PropertySetsCount
    sizeof(KSPROPERTY_ITEM),           // PropertyItemSize
    CameraPropertySets,                // PropertySets
    0,                                 // MethodSetsCount
    0,                                 // MethodItemSize
    nullptr,                           // MethodSets
    0,                                 // EventSetsCount
    0,                                 // EventItemSize
    nullptr,                           // EventSets
};
