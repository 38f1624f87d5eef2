// Checks of the descriptors a device returns, made before anything parses
// them. A device is not trusted: every length and count it reports is
// checked against the bytes that actually arrived, so that no later walk
// (the driver's, the USB library's, the bus driver's) can leave the buffer.
#pragma once

#include "driver/wdk.h"

constexpr ULONG DeviceDescriptorLength = 18;
constexpr ULONG ConfigurationHeaderLength = 9;

// The 18-byte device descriptor, `received` bytes of it arrived.
NTSTATUS CheckDeviceDescriptor(const UCHAR* bytes, ULONG received);

// The 9-byte header read first, `received` bytes of it arrived, naming a
// configuration (bConfigurationValue not 0); on success
// *totalLength is the wTotalLength it announces.
NTSTATUS CheckConfigurationHeader(const UCHAR* bytes, ULONG received, USHORT* totalLength);

// A full configuration descriptor of `received` bytes, with the checks of the
// platform's full (level 3) validation of a configuration descriptor:
// - the header: bLength 9, type configuration, wTotalLength at least 9 and
//   within the bytes received, at least one interface;
// - every descriptor: bLength at least 2 and wholly inside wTotalLength;
//   interface descriptors 9 bytes and endpoint descriptors 7 (or 9, the
//   audio-class form) as USB 2.0 sizes them; no second configuration descriptor;
// - interfaces: numbers below bNumInterfaces, in sequential order from 0, no
//   interface number and alternate setting twice, exactly bNumInterfaces
//   interfaces;
// - endpoints: only after an interface descriptor, a valid address (endpoint
//   number 1..15, reserved bits clear), no address twice in one alternate
//   setting, as many as the interface's bNumEndpoints.
// STATUS_DEVICE_DATA_ERROR when any fails.
NTSTATUS ValidateConfigurationDescriptor(const UCHAR* bytes, ULONG received);

// What this camera needs of a valid configuration: interface 0, alternate
// setting 0, with at least three pipes, pipe 0 OUT, pipes 1 and 2 IN, each
// bulk or interrupt. STATUS_DEVICE_DATA_ERROR otherwise.
NTSTATUS CheckCameraInterface(PUSB_CONFIGURATION_DESCRIPTOR configuration);
