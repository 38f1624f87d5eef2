// The handlers of CameraPropertySet and the filter's automation table.
//
// Four kinds of handler: one that serves the values kept in the settings or
// asked of the camera (a switch on the id), one per adjustable colour value
// with its clamp and change-only rebuild, one for Roi, and one tiny handler
// per constant. The class finds the item, refuses requests the item does not
// offer or whose buffers are below its sizes, and only then calls in here.
#include "camera/property_set.h"

#include "camera/camera_commands.h"
#include "camera/sensor_registers.h"
#include "camera/setting_limits.h"
#include "camera/trigger_mode.h"
#include "camera/white_balance.h"
#include "capture/capture_filter.h"
#include "device/device_context.h"
#include "device/read_timeout.h"
#include "pipeline/image_pipeline.h"

const GUID CameraPropertySetId = {0x9B623622, 0x919B, 0x4639, {0xAD, 0xC0, 0xED, 0xF0, 0x00, 0x32, 0xB4, 0xB2}};

namespace {

// A property-request Timeout is accepted above this, compared unsigned.
constexpr ULONG TimeoutFloor = 500;

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

// Values the pipeline also holds are answered from it while it exists
// (automatic white balance changes its gains on every frame), and the
// settings follow it, so that the next save keeps what the user sees.
LONG PipelineBacked(LONG* field, ImagePipeline* pipeline, LONG (*get)(ImagePipeline*)) {
    if (pipeline) *field = get(pipeline);
    return *field;
}

// Called with the command lock held.
LONG GetCameraValue(DeviceContext* context, ULONG id) {
    CameraSettings* s = &context->settings;
    ImagePipeline* pipeline = context->pipeline;
    switch (id) {
    case PropertyExTrigger:
        // Asked of the camera every time; no answer counts as free running.
        return QueryTriggerMode(context) ? 1 : 0;
    case PropertyTimeout: return s->timeout;
    case PropertyExposure: return s->exposure;
    case PropertyGlobalGain: return s->globalGain;
    case PropertyFlipH: return s->flipH;
    case PropertyFlipV: return s->flipV;
    case PropertyColorEnable: return PipelineBacked(&s->colorEnable, pipeline, GetColorEnable);
    case PropertyWhiteBalance: return PipelineBacked(&s->whiteBalance, pipeline, GetWhiteBalance);
    case PropertyRedGain: return PipelineBacked(&s->redGain, pipeline, GetRedGain);
    case PropertyGreenGain: return PipelineBacked(&s->greenGain, pipeline, GetGreenGain);
    case PropertyBlueGain: return PipelineBacked(&s->blueGain, pipeline, GetBlueGain);
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
    case PropertyColorCorrection: return PipelineBacked(&s->colorCorrection, pipeline, GetColorCorrection);
    case PropertyHalfClock: return s->reservedSetting;
    case PropertyAgc: return s->agc;
    case PropertyAec: return s->aec;
    default: return 0;  // the *Supported ids: nothing of that exists
    }
}

VOID SetGain(LONG* field, ImagePipeline* pipeline, VOID (*set)(ImagePipeline*, LONG), LONG value) {
    *field = ClampSetting(value, MinimumColorGain, MaximumColorGain);
    if (pipeline) set(pipeline, *field);
}

// Called with the command lock held. Refused values and camera failures are
// not reported: every set ends in success.
VOID SetCameraValue(DeviceContext* context, ULONG id, LONG value) {
    CameraSettings* s = &context->settings;
    ImagePipeline* pipeline = context->pipeline;
    switch (id) {
    case PropertyExTrigger: SetTriggerMode(context, value != 0); break;
    case PropertyTimeout:
        // Unsigned: a negative value is a very long wait and is taken.
        if (static_cast<ULONG>(value) > TimeoutFloor) {
            s->timeout = value;
            InterlockedExchange(&ReadTimeout, value);
        }
        break;
    case PropertyExposure: SetExposure(context, value); break;
    case PropertyGlobalGain: SetGlobalGain(context, value); break;
    case PropertyColorEnable:
        s->colorEnable = value;
        if (pipeline) SetColorEnable(pipeline, value);
        break;
    case PropertyWhiteBalance: SwitchAutoWhiteBalance(context, value); break;
    case PropertyRedGain: SetGain(&s->redGain, pipeline, SetRedGain, value); break;
    case PropertyGreenGain: SetGain(&s->greenGain, pipeline, SetGreenGain, value); break;
    case PropertyBlueGain: SetGain(&s->blueGain, pipeline, SetBlueGain, value); break;
    case PropertyColorCorrection:
        s->colorCorrection = value;
        if (pipeline) UpdateColorCorrection(pipeline, value);
        break;
    default:
        // FlipH, FlipV, HalfClock, AGC, AEC: accepted and ignored, the
        // driver has no such feature.
        break;
    }
}

NTSTATUS CameraValueHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
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

// ---- adjustable colour values ------------------------------------------

struct Adjustment {
    LONG CameraSettings::*field;
    LONG minimum;
    LONG maximum;
    LONG (*get)(ImagePipeline*);
    VOID (*update)(ImagePipeline*, LONG);  // change-only: equal values rebuild nothing
};

constexpr Adjustment BrightnessAdjustment = {&CameraSettings::brightness, MinimumBrightness, MaximumBrightness,
                                             GetBrightness, UpdateBrightness};
constexpr Adjustment ContrastAdjustment = {&CameraSettings::contrast, MinimumContrast, MaximumContrast, GetContrast,
                                           UpdateContrast};
constexpr Adjustment SaturationAdjustment = {&CameraSettings::saturation, MinimumSaturation, MaximumSaturation,
                                             GetSaturation, UpdateSaturation};
constexpr Adjustment HueAdjustment = {&CameraSettings::hue, MinimumHue, MaximumHue, GetHue, UpdateHue};

NTSTATUS AdjustmentHandler(PIRP irp, PKSIDENTIFIER request, PVOID data, const Adjustment& adjustment) {
    if (!irp || !request || !data) return STATUS_UNSUCCESSFUL;
    DeviceContext* context = ContextFromIrp(irp);
    if (!context) return STATUS_UNSUCCESSFUL;
    LONG* field = &(context->settings.*adjustment.field);
    AcquireCommandLock(context);
    ImagePipeline* pipeline = context->pipeline;
    if (IsSet(request)) {
        *field = ClampSetting(*ValueOf(data), adjustment.minimum, adjustment.maximum);
        if (pipeline) adjustment.update(pipeline, *field);
    } else {
        *ValueOf(data) = PipelineBacked(field, pipeline, adjustment.get);
    }
    ReleaseCommandLock(context);
    return STATUS_SUCCESS;
}

NTSTATUS BrightnessHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    return AdjustmentHandler(irp, request, data, BrightnessAdjustment);
}
NTSTATUS ContrastHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    return AdjustmentHandler(irp, request, data, ContrastAdjustment);
}
NTSTATUS SaturationHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    return AdjustmentHandler(irp, request, data, SaturationAdjustment);
}
NTSTATUS HueHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    return AdjustmentHandler(irp, request, data, HueAdjustment);
}

// ---- Roi and SendCommand20 ------------------------------------------------

NTSTATUS RoiHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
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
    AcquireCommandLock(context);
    // Refused silently while a capture pin exists.
    SetFrameGeometry(context, width, height);
    ReleaseCommandLock(context);
    return STATUS_SUCCESS;
}

NTSTATUS SendCommand20Handler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
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
// before in the table. Fixed numbers, not tied to the clamps.
template <LONG Answer>
NTSTATUS ConstantHandler(PIRP, PKSIDENTIFIER, PVOID data) {
    if (!data) return STATUS_UNSUCCESSFUL;
    *ValueOf(data) = Answer;
    return STATUS_SUCCESS;
}

constexpr ULONG ValueSize = sizeof(CameraPropertyValue);
constexpr ULONG RoiSize = sizeof(CameraRoiValue);

}  // namespace

// ==== automation table =====================================================

// One item: id, get handler, minimum request and data sizes, set handler;
// no value ranges, relations, support handler or serialisation size.
#define CAMERA_PROPERTY(id, getHandler, setHandler, size) \
    { (id), {(getHandler)}, (size), (size), {(setHandler)}, nullptr, 0, nullptr, nullptr, 0 }
#define VALUE_GET_SET(id) CAMERA_PROPERTY(id, CameraValueHandler, CameraValueHandler, ValueSize)
#define VALUE_GET(id) CAMERA_PROPERTY(id, CameraValueHandler, nullptr, ValueSize)
#define CONSTANT(id, answer) CAMERA_PROPERTY(id, ConstantHandler<answer>, nullptr, ValueSize)

namespace {

const KSPROPERTY_ITEM CameraPropertyItems[CameraPropertyCount] = {
    VALUE_GET_SET(PropertyExTrigger),
    VALUE_GET_SET(PropertyTimeout),
    VALUE_GET_SET(PropertyExposure),
    CONSTANT(PropertyExposureMin, 2),
    CONSTANT(PropertyExposureMax, 1252),
    CONSTANT(PropertyExposureDefault, 2),
    VALUE_GET_SET(PropertyGlobalGain),
    CONSTANT(PropertyGlobalGainMin, 0),
    CONSTANT(PropertyGlobalGainMax, 1023),
    CONSTANT(PropertyGlobalGainDefault, 512),
    VALUE_GET_SET(PropertyFlipH),
    VALUE_GET_SET(PropertyFlipV),
    VALUE_GET_SET(PropertyColorEnable),
    VALUE_GET_SET(PropertyWhiteBalance),
    VALUE_GET_SET(PropertyRedGain),
    VALUE_GET_SET(PropertyGreenGain),
    VALUE_GET_SET(PropertyBlueGain),
    CONSTANT(PropertyColorGainMin, 1),
    CONSTANT(PropertyColorGainMax, 255),
    CONSTANT(PropertyColorGainDefault, 128),
    CAMERA_PROPERTY(PropertyBrightness, BrightnessHandler, BrightnessHandler, ValueSize),
    CONSTANT(PropertyBrightnessMin, 0),
    CONSTANT(PropertyBrightnessMax, 510),
    CONSTANT(PropertyBrightnessDefault, 255),
    CAMERA_PROPERTY(PropertyContrast, ContrastHandler, ContrastHandler, ValueSize),
    CONSTANT(PropertyContrastMin, 0),
    CONSTANT(PropertyContrastMax, 20),
    CONSTANT(PropertyContrastDefault, 10),
    CAMERA_PROPERTY(PropertySaturation, SaturationHandler, SaturationHandler, ValueSize),
    CONSTANT(PropertySaturationMin, 0),
    CONSTANT(PropertySaturationMax, 20),
    CONSTANT(PropertySaturationDefault, 10),
    CAMERA_PROPERTY(PropertyHue, HueHandler, HueHandler, ValueSize),
    CONSTANT(PropertyHueMin, 0),
    CONSTANT(PropertyHueMax, 359),
    CONSTANT(PropertyHueDefault, 0),
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
    VALUE_GET(PropertyAgcSupported),
    VALUE_GET(PropertyAecSupported),
    VALUE_GET_SET(PropertyAgc),
    VALUE_GET_SET(PropertyAec),
};

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
