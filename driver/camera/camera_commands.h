// The camera's command protocol: 64-byte packets on the command pipe, the one
// reply pair on the reply pipe, and the driver operations built on them.
#pragma once

#include "wdk.h"

class DeviceContext;

constexpr UCHAR Command02 = 0x02;
constexpr UCHAR Command03 = 0x03;
constexpr UCHAR WriteSensorRegisterCode = 0x04;
constexpr UCHAR DeviceStartupCode = 0x06;
constexpr UCHAR SetFrameSizeCode = 0x09;
constexpr UCHAR Command0A = 0x0A;
constexpr UCHAR Command20 = 0x20;
constexpr UCHAR SetTriggerModeCode = 0x28;
constexpr UCHAR QueryStatusCode = 0x29;

// The raw frame: 1921 bytes per line after a 9921-byte lead, 9913 bytes
// beyond the lines in all, rounded up to whole 1024-byte units.
constexpr ULONG RawLinePitch = 1921;
constexpr ULONG RawDataOffset = 9921;
constexpr ULONG RawFrameOverhead = 9913;
constexpr ULONG RawFrameUnit = 1024;

// True only when the transfer succeeded and moved all 64 bytes.
BOOLEAN SendCameraCommand(DeviceContext* context, const UCHAR packet[64]);
BOOLEAN SendDeviceStartup(DeviceContext* context);
ULONG RawFrameSizeFor(ULONG height);
ULONG ProgramFrameGeometry(DeviceContext* context);
ULONG ComputeBayerPhase(DeviceContext* context);
