// The camera's command protocol: 64-byte packets on the command pipe and the
// reply pair on the reply pipe.
#pragma once

#include "driver/wdk.h"

class DeviceContext;

// The camera's names for them are only their codes. Command02 goes before and
// during a raw frame read; Command03 follows once every chunk read is posted.
constexpr UCHAR Command02 = 0x02;
constexpr UCHAR Command03 = 0x03;
constexpr UCHAR WriteSensorRegisterCode = 0x04;
constexpr UCHAR DeviceStartupCode = 0x06;
constexpr UCHAR SetFrameSizeCode = 0x09;
constexpr UCHAR Command0A = 0x0A;
constexpr UCHAR Command20 = 0x20;
constexpr UCHAR SetTriggerModeCode = 0x28;
constexpr UCHAR QueryStatusCode = 0x29;

// True only when the transfer succeeded and moved all 64 bytes.
BOOLEAN SendCameraCommand(DeviceContext* context, const UCHAR packet[64]);
BOOLEAN SendDeviceStartup(DeviceContext* context);
// After a status reply that failed or came short the camera may still hold
// the rest of that reply pair, which the next query would read as its own:
// clears a halt of the reply pipe when the read failed and reads off
// whatever the camera still has queued there, so that the next query starts
// on its own first packet.
VOID ResynchroniseReplies(DeviceContext* context, BOOLEAN readFailed);
// A queued reply packet arrives at once; a read that gets nothing within
// this many milliseconds finds the reply pipe empty.
constexpr LONG StaleReplyWait = 100;
