#include "camera/camera_startup.h"

// The start-up register script lands with the sensor register commands.
VOID RunSensorScript(DeviceContext*) {}
