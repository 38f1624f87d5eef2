// Applying and reading the camera settings by their rows: the one way both a
// property request and the settings load change a setting.
#include "driver/camera/camera_settings.h"

#include "driver/camera/sensor_registers.h"
#include "driver/camera/white_balance.h"
#include "driver/device/device_context.h"
#include "driver/pipeline/image_pipeline.h"

namespace {

// The settings the image pipeline holds too. Its copy is the live one while
// a pin holds the pipeline: the conversion reads it, and automatic white
// balance changes the gains on every frame.
struct PipelineValue {
    ULONG property;
    LONG (*get)(ImagePipeline*);
    // The Update* forms rebuild their stage only when the value changed.
    VOID (*set)(ImagePipeline*, LONG);
};

// In the order a new pipeline is given them (ApplyPipelineSettings); each
// setter stands alone, so the order only keeps the build the same from run
// to run. A property set of white balance does not come through `set` but
// through SwitchAutoWhiteBalance, which also adopts the measured gains.
constexpr PipelineValue PipelineValues[] = {
    {PropertyWhiteBalance, GetWhiteBalance, SetWhiteBalance},
    {PropertyColorEnable, GetColorEnable, SetColorEnable},
    {PropertyRedGain, GetRedGain, SetRedGain},
    {PropertyGreenGain, GetGreenGain, SetGreenGain},
    {PropertyBlueGain, GetBlueGain, SetBlueGain},
    {PropertyColorCorrection, GetColorCorrection, UpdateColorCorrection},
    {PropertyBrightness, GetBrightness, UpdateBrightness},
    {PropertyContrast, GetContrast, UpdateContrast},
    {PropertySaturation, GetSaturation, UpdateSaturation},
    {PropertyHue, GetHue, UpdateHue},
};

const PipelineValue* FindPipelineValue(ULONG property) {
    for (const PipelineValue& value : PipelineValues) {
        if (value.property == property) return &value;
    }
    return nullptr;
}

}  // namespace

VOID SetDefaultSettings(CameraSettings* settings) {
    for (const CameraSettingRow& row : CameraSettingRows) settings->*row.field = row.addDefault;
}

BOOLEAN IsPipelineSetting(ULONG property) { return FindPipelineValue(property) != nullptr; }

VOID ApplyPipelineSettings(ImagePipeline* pipeline, const CameraSettings& settings) {
    for (const PipelineValue& value : PipelineValues) {
        value.set(pipeline, settings.*FindCameraSetting(value.property)->field);
    }
}

VOID ApplyCameraSetting(DeviceContext* context, ULONG property, LONG value) {
    const CameraSettingRow* row = FindCameraSetting(property);
    if (!row) return;
    value = ClampSetting(value, row->clamp);
    switch (property) {
    case PropertyTimeout:
        // Compared unsigned: a negative value is a very long wait and is
        // taken. The wait is driver-wide, so it applies to every camera.
        if (static_cast<ULONG>(value) < static_cast<ULONG>(row->loadRange.low)) return;
        context->settings.timeout = value;
        InterlockedExchange(&ReadTimeout, value);
        return;
    // Camera failures are not reported; the field keeps its old value.
    case PropertyExposure: SetExposure(context, value); return;
    case PropertyGlobalGain: SetGlobalGain(context, value); return;
    case PropertyWhiteBalance: SwitchAutoWhiteBalance(context, value); return;
    default: break;
    }
    const PipelineValue* link = FindPipelineValue(property);
    // FlipH, FlipV, AGC, AEC: accepted and ignored, the driver has no such
    // feature.
    if (!link) return;
    context->settings.*row->field = value;
    if (context->pipeline) link->set(context->pipeline, value);
}

LONG ReadCameraSetting(DeviceContext* context, const CameraSettingRow& row) {
    LONG* field = &(context->settings.*row.field);
    const PipelineValue* link = FindPipelineValue(row.property);
    // The settings follow the pipeline, so that the next save keeps what the
    // user sees.
    if (link && context->pipeline) *field = link->get(context->pipeline);
    return *field;
}
