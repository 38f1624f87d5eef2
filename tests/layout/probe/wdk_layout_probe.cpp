// The WDK's side of the layout comparison: compiled by mingw-w64's g++ against
// its WDK headers, exactly as the driver's Windows build sees them, into an
// object file that is never linked or run. The values sit in a section of
// their own, which the host build copies out with objcopy (wdk_layout.cmake).
#include "driver/wdk.h"

#include <stddef.h>

#include "tests/layout/layout_magic.h"

#define LAYOUT_TYPE(type) sizeof(type), alignof(type),
#define LAYOUT_FIELD(type, field) offsetof(type, field), sizeof(((type*)nullptr)->field),

extern "C" __attribute__((section(".wdklay"), used)) const unsigned int kWdkLayout[] = {
    kLayoutMagic,
#include "tests/layout/wdk_layout_list.h"
    kLayoutMagic,
};
