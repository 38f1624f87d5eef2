// CameraPropertySet: every camera control an application or the proxy
// plug-in can reach, as one custom property set on the capture filter.
#pragma once

#include "driver/wdk.h"

#include "common/camera_property_set.h"

// The set's GUID, from CAMERA_PROPERTY_SET_GUID.
extern const GUID CameraPropertySetId;

// The capture filter's automation table: this set and nothing else.
extern const KSAUTOMATION_TABLE CameraFilterAutomationTable;

// The class hands the handlers its own property header; the set's requests
// are laid out on it.
static_assert(sizeof(KSPROPERTY) == sizeof(CameraPropertyHeader), "one property header");

// The smallest output size Roi accepts; anything outside the sensor or
// below this is ignored.
constexpr LONG MinimumRoiSize = 8;
