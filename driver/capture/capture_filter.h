// The capture filter the device offers: its descriptor, and the geometry of
// the frames it delivers.
#pragma once

#include "wdk.h"

class DeviceContext;

extern const KSFILTER_DESCRIPTOR CaptureFilterDescriptor;

// Sets the delivered frame size while no capture pin exists: resets the
// region of interest to the full sensor, then frameWidth = width,
// frameHeight = outputHeight = height, outputWidth = width rounded down to a
// multiple of 8. Nothing is sent to the camera.
VOID SetFrameGeometry(DeviceContext* context, LONG width, LONG height);
