#include "camera/camera_startup.h"

// Settings persistence lands with the registry store; until then a start
// keeps the defaults of device add.
VOID LoadSettings(DeviceContext*) {}
VOID SaveSettings(DeviceContext*) {}
