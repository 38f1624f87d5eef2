// The ranges the driver holds the adjustable settings to, shared by the
// property requests and the settings load so both clamp alike.
#pragma once

#include "wdk.h"

constexpr LONG MinimumColorGain = 0;
constexpr LONG MaximumColorGain = 300;
constexpr LONG MinimumBrightness = 0;
constexpr LONG MaximumBrightness = 510;
constexpr LONG MinimumContrast = 0;
constexpr LONG MaximumContrast = 20;
constexpr LONG MinimumSaturation = 0;
constexpr LONG MaximumSaturation = 20;
constexpr LONG MinimumHue = 0;
constexpr LONG MaximumHue = 359;

// A frame-read wait loaded from the registry is used only inside these
// bounds; a property request accepts anything above 500 (compared unsigned).
constexpr LONG MinimumSavedTimeout = 501;
constexpr LONG MaximumSavedTimeout = 9999;

inline LONG ClampSetting(LONG value, LONG low, LONG high) {
    return value < low ? low : (value > high ? high : value);
}
