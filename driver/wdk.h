// The driver's one platform include. On Windows it brings in the real WDK
// headers; on the Linux host it brings in the user-space stand-ins of the
// kernel, the USB stack and the kernel streaming class that carry the same
// names and semantics. No other driver file tests the platform.
#pragma once

#if defined(_WIN32)
#include "driver/windows/wdk_windows.h"
#else
#include "host/wdk_host.h"
#endif
