// Switching the automatic white balance, which runs inside the frame
// conversion of the image pipeline.
#pragma once

#include "driver/wdk.h"

class DeviceContext;

// Turns the automatic white balance on or off, in the settings and in the
// image pipeline when a pin holds one. Switching it off keeps the gains it
// last found as the manual gains.
VOID SwitchAutoWhiteBalance(DeviceContext* context, LONG on);
