// The user-settable camera values, each a signed 32-bit field, in the order
// they sit in the device context.
#pragma once

#include "wdk.h"

struct CameraSettings {
    LONG externalTrigger;  // 1 external trigger mode, 0 free running
    LONG timeout;          // frame read wait, milliseconds
    LONG exposure;         // sensor units, 2..1252 once set
    LONG globalGain;       // sensor units; the camera takes the low 10 bits
    LONG flipH;
    LONG flipV;
    LONG colorEnable;
    LONG whiteBalance;
    LONG redGain;          // 128 = 1.0, 0..300
    LONG greenGain;
    LONG blueGain;
    LONG colorCorrection;
    LONG brightness;       // 0..510, 255 neutral
    LONG contrast;         // 0..20, 10 neutral
    LONG saturation;       // 0..20, 10 neutral
    LONG hue;              // degrees 0..359
    LONG subSample;
    LONG roiX;
    LONG roiY;
    LONG roiWidth;
    LONG roiHeight;
    LONG bayerPhase;       // 0 GRBG, 1 BGGR, 2 RGGB, 3 GBRG
    LONG reservedSetting;
    LONG agc;
    LONG aec;
};
