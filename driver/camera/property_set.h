// CameraPropertySet: every camera control an application or the proxy
// plug-in can reach, as one custom property set on the capture filter.
#pragma once

#include "wdk.h"

// {9B623622-919B-4639-ADC0-EDF00032B4B2}
extern const GUID CameraPropertySetId;

// The capture filter's automation table: this set and nothing else.
extern const KSAUTOMATION_TABLE CameraFilterAutomationTable;

enum CameraPropertyId : ULONG {
    PropertyExTrigger = 0,
    PropertyTimeout = 1,
    PropertyExposure = 2,
    PropertyExposureMin = 3,
    PropertyExposureMax = 4,
    PropertyExposureDefault = 5,
    PropertyGlobalGain = 6,
    PropertyGlobalGainMin = 7,
    PropertyGlobalGainMax = 8,
    PropertyGlobalGainDefault = 9,
    PropertyFlipH = 10,
    PropertyFlipV = 11,
    PropertyColorEnable = 12,
    PropertyWhiteBalance = 13,
    PropertyRedGain = 14,
    PropertyGreenGain = 15,
    PropertyBlueGain = 16,
    PropertyColorGainMin = 17,
    PropertyColorGainMax = 18,
    PropertyColorGainDefault = 19,
    PropertyBrightness = 20,
    PropertyBrightnessMin = 21,
    PropertyBrightnessMax = 22,
    PropertyBrightnessDefault = 23,
    PropertyContrast = 24,
    PropertyContrastMin = 25,
    PropertyContrastMax = 26,
    PropertyContrastDefault = 27,
    PropertySaturation = 28,
    PropertySaturationMin = 29,
    PropertySaturationMax = 30,
    PropertySaturationDefault = 31,
    PropertyHue = 32,
    PropertyHueMin = 33,
    PropertyHueMax = 34,
    PropertyHueDefault = 35,
    PropertySubSampleMax = 36,
    PropertySubSample = 37,
    PropertySensorWidth = 38,
    PropertySensorHeight = 39,
    PropertyRoiX = 40,
    PropertyRoiY = 41,
    PropertyRoiW = 42,
    PropertyRoiH = 43,
    PropertyRoi = 44,
    PropertyPinOpen = 45,
    PropertyExTriggerSupported = 46,
    PropertySendCommand20 = 47,
    PropertyColorCorrection = 48,
    PropertyHalfClock = 49,
    PropertyHalfClockSupported = 50,
    PropertyFlipHSupported = 51,
    PropertyFlipVSupported = 52,
    PropertyAgcSupported = 53,
    PropertyAecSupported = 54,
    PropertyAgc = 55,
    PropertyAec = 56,
    CameraPropertyCount = 57
};

// The request and the data buffer have one layout (a client may pass one
// buffer as both): the property header, then the value.
struct CameraPropertyValue {
    KSPROPERTY Property;
    LONG Value;
    LONG Unused;
};

// The data of Roi (id 44).
struct CameraRoiValue {
    KSPROPERTY Property;
    LONG SubSample;
    LONG X;
    LONG Y;
    LONG Width;
    LONG Height;
    LONG Unused;
};

static_assert(sizeof(KSPROPERTY) == 24, "the value sits at offset 24");
static_assert(sizeof(CameraPropertyValue) == 32, "a value request is 32 bytes");
static_assert(sizeof(CameraRoiValue) == 48, "a Roi request is 48 bytes");

// The smallest output size Roi accepts; anything outside the sensor or
// below this is ignored.
constexpr LONG MinimumRoiSize = 8;
