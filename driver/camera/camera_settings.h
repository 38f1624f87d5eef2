// The user-settable camera values, and one row per setting a user sets
// through the property set and finds again after a restart: what a client is
// shown for it, what the driver holds it to, how it is saved and loaded, and
// what it starts at. The property set, the settings load and save and device
// add all read these rows, so a setting is described here and nowhere else.
#pragma once

#include "driver/wdk.h"

#include "common/camera_property_set.h"
#include "driver/device/read_timeout.h"

class DeviceContext;

// Each a signed 32-bit field, in the order they sit in the device context.
struct CameraSettings {
    LONG externalTrigger;  // 1 external trigger mode, 0 free running
    LONG timeout;          // frame read wait, milliseconds
    LONG exposure;         // sensor units, 2..1252 once set
    LONG globalGain;       // sensor units; the camera takes the low 10 bits
    LONG flipH;
    LONG flipV;
    LONG colorEnable;
    LONG whiteBalance;
    LONG redGain;          // 128 = 1.0
    LONG greenGain;
    LONG blueGain;
    LONG colorCorrection;
    LONG brightness;       // 255 neutral
    LONG contrast;         // 10 neutral
    LONG saturation;       // 10 neutral
    LONG hue;              // degrees
    LONG subSample;
    LONG roiX;
    LONG roiY;
    LONG roiWidth;
    LONG roiHeight;
    LONG bayerPhase;       // 0 GRBG, 1 BGGR, 2 RGGB, 3 GBRG
    LONG reservedSetting;  // answered by a read-only property; nothing sets it
    LONG agc;
    LONG aec;
};

struct SettingRange {
    LONG low;
    LONG high;
};
// Every value: holding a value to it changes nothing.
constexpr SettingRange AnyValue = {-2147483647 - 1, 2147483647};
// No value: a loaded value is read but never applied.
constexpr SettingRange NoValue = {1, 0};

constexpr BOOLEAN InSettingRange(LONG value, SettingRange range) {
    return value >= range.low && value <= range.high;
}
// Values below the range become its low end, values above its high end.
constexpr LONG ClampSetting(LONG value, SettingRange range) {
    return value < range.low ? range.low : (value > range.high ? range.high : value);
}

// What the three ids after a value answer: the minimum, maximum and default a
// client shows for it. Fixed numbers, not tied to the clamp.
struct ReportedLimits {
    LONG minimum;
    LONG maximum;
    LONG defaultValue;
};
// A value without those ids.
constexpr ReportedLimits NotReported = {0, 0, 0};

struct CameraSettingRow {
    LONG CameraSettings::*field;
    // Its id in the property set; its registry value carries the id's name.
    ULONG property;
    // What a property set and a load hold the value to before applying it.
    SettingRange clamp;
    ReportedLimits reported;
    // What a start loads when the "Settings" key has no such value.
    LONG savedDefault;
    // A loaded value outside this is not applied; the field keeps its value.
    SettingRange loadRange;
    // The field from device add until the start loads the saved settings.
    LONG addDefault;
};

// In the order the values are read from and written to the registry, which
// is also the order a load applies them in. constexpr: laid out by the
// compiler, no static constructor.
inline constexpr CameraSettingRow CameraSettingRows[] = {
    // field, property, clamp, reported {min, max, default}, saved default,
    // load range, add default
    //
    // A property set takes any wait from the load range's low end up,
    // compared unsigned (a negative value is a very long wait); a start
    // trusts only CameraTimeoutMin..Max (501..9999) from the registry.
    {&CameraSettings::timeout, PropertyTimeout, AnyValue, NotReported,
     DefaultReadTimeout, {CameraTimeoutMin, CameraTimeoutMax}, DefaultReadTimeout},
    // SetExposure holds the value to 2..1252 itself, compared unsigned; the
    // saved default 0 becomes 2 there.
    {&CameraSettings::exposure, PropertyExposure, AnyValue, {2, 1252, 2},
     0, AnyValue, 0},
    // Three defaults: 512 is the middle a client offers on its slider, 100 is
    // what a start with no saved value gives the camera, 0 the field holds
    // from add until that start. Not clamped: the camera takes the low 10 bits.
    {&CameraSettings::globalGain, PropertyGlobalGain, AnyValue, {0, 1023, 512},
     100, AnyValue, 0},
    // FlipH, FlipV, AGC, AEC: saved and read, never applied; the driver has
    // no mirroring and no automatic gain or exposure.
    {&CameraSettings::flipH, PropertyFlipH, AnyValue, NotReported, 0, NoValue, 0},
    {&CameraSettings::flipV, PropertyFlipV, AnyValue, NotReported, 0, NoValue, 0},
    {&CameraSettings::colorEnable, PropertyColorEnable, AnyValue, NotReported, 1, AnyValue, 1},
    {&CameraSettings::whiteBalance, PropertyWhiteBalance, AnyValue, NotReported, 0, AnyValue, 0},
    {&CameraSettings::colorCorrection, PropertyColorCorrection, AnyValue, NotReported, 1, AnyValue, 1},
    {&CameraSettings::brightness, PropertyBrightness, {0, 510}, {0, 510, 255}, 255, AnyValue, 255},
    {&CameraSettings::contrast, PropertyContrast, {0, 20}, {0, 20, 10}, 10, AnyValue, 10},
    {&CameraSettings::saturation, PropertySaturation, {0, 20}, {0, 20, 10}, 10, AnyValue, 10},
    {&CameraSettings::hue, PropertyHue, {0, 359}, {0, 359, 0}, 0, AnyValue, 0},
    // The gains are held to 0..300 (128 = 1.0), while a client is offered
    // 1..255; ids 17..19 answer for all three.
    {&CameraSettings::redGain, PropertyRedGain, {0, 300}, {1, 255, 128}, 128, AnyValue, 128},
    {&CameraSettings::greenGain, PropertyGreenGain, {0, 300}, {1, 255, 128}, 128, AnyValue, 128},
    {&CameraSettings::blueGain, PropertyBlueGain, {0, 300}, {1, 255, 128}, 128, AnyValue, 128},
    {&CameraSettings::agc, PropertyAGC, AnyValue, NotReported, 0, NoValue, 0},
    {&CameraSettings::aec, PropertyAEC, AnyValue, NotReported, 0, NoValue, 0},
};

constexpr ULONG CameraSettingCount = sizeof CameraSettingRows / sizeof CameraSettingRows[0];

// The row of property `property`, or null when the id is no saved setting.
constexpr const CameraSettingRow* FindCameraSetting(ULONG property) {
    for (const CameraSettingRow& row : CameraSettingRows) {
        if (row.property == property) return &row;
    }
    return nullptr;
}

// Puts every row's field at its device-add value; the other fields are the
// caller's.
VOID SetDefaultSettings(CameraSettings* settings);

struct ImagePipeline;

// Whether the image pipeline holds setting `property` too (colour, white
// balance, the gains and the colour adjustments).
BOOLEAN IsPipelineSetting(ULONG property);
// Gives a new pipeline every setting it holds, from `settings`: what the
// capture pin does when it creates one, and what `quelvixcam convert` does.
// The Bayer phase is not a setting and is the caller's.
VOID ApplyPipelineSettings(ImagePipeline* pipeline, const CameraSettings& settings);

// Applies `value` to setting `property` as a property set does: held to the
// row's clamp, stored in the field and sent on to the camera or, while a pin
// holds one, the image pipeline. Ids without a row, and settings the driver
// has no feature for, are ignored. Called with the command lock held.
VOID ApplyCameraSetting(DeviceContext* context, ULONG property, LONG value);
// The value of setting `row` as a property get answers it: the image
// pipeline's copy while a pin holds one (the field follows it), else the
// field. Called with the command lock held.
LONG ReadCameraSetting(DeviceContext* context, const CameraSettingRow& row);
