/* CameraPropertySet: the one interface the driver and the proxy plug-in share.
 * The driver serves it on its capture filter; the plug-in, the host tool and
 * the tests send its requests. Everything both sides must agree on is here:
 * the set's GUID, the property ids with their names, and the request layout.
 *
 * Plain C, no includes of its own: it uses the platform's base types GUID,
 * ULONG and LONG, which every includer already has (the driver and the tool
 * through driver/wdk.h, the plug-in through <windows.h>). Kernel-safe: no
 * data, only types, constants and one constant-folded lookup. */
#ifndef QUELVIX_CAMERA_PROPERTY_SET_H
#define QUELVIX_CAMERA_PROPERTY_SET_H

/* The set's GUID as an initialiser. The plug-in's configuration interface and
 * class carry the same GUID: the KS proxy finds the extension class by it. */
#define CAMERA_PROPERTY_SET_GUID {0x9B623622, 0x919B, 0x4639, {0xAD, 0xC0, 0xED, 0xF0, 0x00, 0x32, 0xB4, 0xB2}} /* {9B623622-919B-4639-ADC0-EDF00032B4B2} */

/* Every property of the set: its name, as clients, the tool and the saved
 * settings spell it, and its id. The ids run from 0 without a gap. The ids
 * named ...Min, ...Max and ...Default answer what a client shows for the
 * value just before them (ColorGain* serve the three colour gains). */
#define CAMERA_PROPERTIES(X)   \
    X(ExTrigger, 0)            \
    X(Timeout, 1)              \
    X(Exposure, 2)             \
    X(ExposureMin, 3)          \
    X(ExposureMax, 4)          \
    X(ExposureDefault, 5)      \
    X(GlobalGain, 6)           \
    X(GlobalGainMin, 7)        \
    X(GlobalGainMax, 8)        \
    X(GlobalGainDefault, 9)    \
    X(FlipH, 10)               \
    X(FlipV, 11)               \
    X(ColorEnable, 12)         \
    X(WhiteBalance, 13)        \
    X(RedGain, 14)             \
    X(GreenGain, 15)           \
    X(BlueGain, 16)            \
    X(ColorGainMin, 17)        \
    X(ColorGainMax, 18)        \
    X(ColorGainDefault, 19)    \
    X(Brightness, 20)          \
    X(BrightnessMin, 21)       \
    X(BrightnessMax, 22)       \
    X(BrightnessDefault, 23)   \
    X(Contrast, 24)            \
    X(ContrastMin, 25)         \
    X(ContrastMax, 26)         \
    X(ContrastDefault, 27)     \
    X(Saturation, 28)          \
    X(SaturationMin, 29)       \
    X(SaturationMax, 30)       \
    X(SaturationDefault, 31)   \
    X(Hue, 32)                 \
    X(HueMin, 33)              \
    X(HueMax, 34)              \
    X(HueDefault, 35)          \
    X(SubSampleMax, 36)        \
    X(SubSample, 37)           \
    X(SensorWidth, 38)         \
    X(SensorHeight, 39)        \
    X(RoiX, 40)                \
    X(RoiY, 41)                \
    X(RoiW, 42)                \
    X(RoiH, 43)                \
    X(Roi, 44)                 \
    X(PinOpen, 45)             \
    X(ExTriggerSupported, 46)  \
    X(SendCommand20, 47)       \
    X(ColorCorrection, 48)     \
    X(HalfClock, 49)           \
    X(HalfClockSupported, 50)  \
    X(FlipHSupported, 51)      \
    X(FlipVSupported, 52)      \
    X(AGCSupported, 53)        \
    X(AECSupported, 54)        \
    X(AGC, 55)                 \
    X(AEC, 56)

/* PropertyExTrigger, PropertyTimeout, ... */
enum CameraPropertyId {
#define CAMERA_PROPERTY_ID(name, number) Property##name = number,
    CAMERA_PROPERTIES(CAMERA_PROPERTY_ID)
#undef CAMERA_PROPERTY_ID
/* As many as the list has; the ids run from 0 without a gap, so this is
 * also one past the highest id. */
#define CAMERA_PROPERTY_ONE(name, number) +1
    CameraPropertyCount = 0 CAMERA_PROPERTIES(CAMERA_PROPERTY_ONE)
#undef CAMERA_PROPERTY_ONE
};

/* The frame-read wait (PropertyTimeout, milliseconds) that a start trusts
 * from the registry and the page offers: the driver's load range and the
 * page's edit box are the same range. */
enum CameraTimeoutRange {
    CameraTimeoutMin = 501,
    CameraTimeoutMax = 9999
};

#ifdef __cplusplus
#define CAMERA_PROPERTY_INLINE constexpr
#else
#define CAMERA_PROPERTY_INLINE static inline
#endif

/* The name of property `id`, or a null pointer for an id outside the set. */
CAMERA_PROPERTY_INLINE const char* CameraPropertyName(ULONG id) {
    switch (id) {
#define CAMERA_PROPERTY_NAME(name, number) \
    case number:                           \
        return #name;
        CAMERA_PROPERTIES(CAMERA_PROPERTY_NAME)
#undef CAMERA_PROPERTY_NAME
    default:
        return 0;
    }
}

/* A request and its data buffer have one layout (the plug-in passes one
 * buffer as both): the platform's 24-byte property header, then the value.
 * The driver reads and writes only the value. */
typedef struct CameraPropertyHeader {
    GUID Set;
    ULONG Id;
    ULONG Flags; /* the platform's KSPROPERTY_TYPE_* flags */
} CameraPropertyHeader;

typedef struct CameraPropertyValue {
    CameraPropertyHeader Property;
    LONG Value;
    LONG Unused;
} CameraPropertyValue;

/* The buffer of Roi (PropertyRoi); only Width and Height are used. */
typedef struct CameraRoiValue {
    CameraPropertyHeader Property;
    LONG SubSample;
    LONG X;
    LONG Y;
    LONG Width;
    LONG Height;
    LONG Unused;
} CameraRoiValue;

#ifdef __cplusplus
static_assert(sizeof(CameraPropertyHeader) == 24, "the value sits at offset 24");
static_assert(sizeof(CameraPropertyValue) == 32, "a value request is 32 bytes");
static_assert(sizeof(CameraRoiValue) == 48, "a Roi request is 48 bytes");

namespace camera_property_set_check {
// The enum counts on the ids running from 0 without a gap.
constexpr ULONG kIds[] = {
#define CAMERA_PROPERTY_ID_ENTRY(name, number) number,
    CAMERA_PROPERTIES(CAMERA_PROPERTY_ID_ENTRY)
#undef CAMERA_PROPERTY_ID_ENTRY
};
constexpr bool IdsRunWithoutGap() {
    for (ULONG i = 0; i < sizeof kIds / sizeof kIds[0]; ++i) {
        if (kIds[i] != i) return false;
    }
    return sizeof kIds / sizeof kIds[0] == CameraPropertyCount;
}
static_assert(IdsRunWithoutGap(), "property ids run 0, 1, 2, ... in list order");
}  // namespace camera_property_set_check
#endif

#endif /* QUELVIX_CAMERA_PROPERTY_SET_H */
