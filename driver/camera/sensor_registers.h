// The sensor's register file as the driver writes it: register widths, the
// WriteSensorRegister packet, the register shadow, and the settings that
// split one value over two six-bit registers (exposure, global gain).
#pragma once

#include "driver/wdk.h"

class DeviceContext;

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
