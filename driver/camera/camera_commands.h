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

// Sensor registers. The width of a register's value follows from its number:
// 6 bits below 256, 16 bits up to 383, 22 bits above.
constexpr ULONG SensorRegisterNumberMask = 0x3FF;
ULONG SensorRegisterWidth(ULONG reg);
// Builds the WriteSensorRegister packet for `reg` = `value` (masked to the
// register's width) into `packet`, which must be zero.
VOID BuildSensorRegisterPacket(UCHAR packet[64], ULONG reg, LONG value);
// Records `value` whole in the shadow, then sends it masked. The shadow
// changes whether or not the camera takes the packet.
BOOLEAN WriteSensorRegister(DeviceContext* context, ULONG reg, LONG value);

// Registers the driver's own operations use.
constexpr ULONG GainLowRegister = 6;        // gain bits 0..5
constexpr ULONG GainHighRegister = 7;       // gain bits 6..9
constexpr ULONG ReadoutModeRegister = 32;   // bit 4 set: free running
constexpr ULONG TriggerModeRegister = 33;   // low nibble 1 free running, 12 triggered
constexpr ULONG ExposureLowRegister = 158;  // exposure bits 0..5
constexpr ULONG ExposureHighRegister = 159; // exposure bits 6..11
constexpr ULONG MinimumExposure = 2;
constexpr ULONG MaximumExposure = 1252;

// Each writes its two registers and stops at the first refused packet,
// leaving the settings field as it was; true when both went out.
BOOLEAN SetGlobalGain(DeviceContext* context, LONG gain);
BOOLEAN SetExposure(DeviceContext* context, LONG exposure);

// Switches the controller (0x28) and the sensor (registers 32/33) between
// external trigger and free running. False only when the controller refused
// the switch; then nothing else changed.
BOOLEAN SetTriggerMode(DeviceContext* context, LONG on);
// After a status reply that failed or came short the camera may still hold
// the rest of that reply pair, which the next query would read as its own:
// clears a halt of the reply pipe when the read failed and reads off
// whatever the camera still has queued there, so that the next query starts
// on its own first packet.
VOID ResynchroniseReplies(DeviceContext* context, BOOLEAN readFailed);
// A queued reply packet arrives at once; a read that gets nothing within
// this many milliseconds finds the reply pipe empty.
constexpr LONG StaleReplyWait = 100;
// Asks the camera (0x29) and records the answer in externalTrigger. False
// when the camera is free running or did not answer in full; an incomplete
// answer leaves externalTrigger alone.
BOOLEAN QueryTriggerMode(DeviceContext* context);

// Turns the automatic white balance on or off, in the settings and in the
// image pipeline when a pin holds one. Switching it off keeps the gains it
// last found as the manual gains.
VOID SwitchAutoWhiteBalance(DeviceContext* context, LONG on);
