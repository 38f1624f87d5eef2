// The controller program as the driver carries it: records of up to 16 bytes
// for the camera's USB controller memory, read until the first record whose
// type is not 0 (data).
#pragma once

#include "driver/wdk.h"

#pragma pack(push, 1)
struct FirmwareRecord {
    UCHAR byteCount;  // 1..16
    UCHAR padding0;
    USHORT address;   // little-endian target address in controller memory
    UCHAR type;       // 0 data, anything else ends the image
    UCHAR data[16];
    UCHAR padding1;
};
#pragma pack(pop)
static_assert(sizeof(FirmwareRecord) == 22, "a firmware record is 22 bytes");

constexpr UCHAR FirmwareRecordData = 0;

// Generated at build time from firmware/*.hex; each ends with a non-data record.
extern const FirmwareRecord FirmwareImage1[];
extern const FirmwareRecord FirmwareImage2[];
