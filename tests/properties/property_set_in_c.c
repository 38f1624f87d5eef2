/* The shared property set header compiled as C, with nothing but the three
 * base types it expects from its includer: proves it stays plain C, and
 * hands the test what a C compiler makes of it. */
#include <stddef.h>
#include <stdint.h>

typedef uint32_t ULONG;
typedef int32_t LONG;
typedef struct {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;

#include "common/camera_property_set.h"

static const GUID setInC = CAMERA_PROPERTY_SET_GUID;

const char* PropertyNameInC(ULONG id) { return CameraPropertyName(id); }
ULONG PropertyCountInC(void) { return CameraPropertyCount; }
size_t ValueOffsetInC(void) { return offsetof(CameraPropertyValue, Value); }
size_t ValueSizeInC(void) { return sizeof(CameraPropertyValue); }
size_t RoiWidthOffsetInC(void) { return offsetof(CameraRoiValue, Width); }
size_t RoiSizeInC(void) { return sizeof(CameraRoiValue); }
const void* SetGuidInC(void) { return &setInC; }
