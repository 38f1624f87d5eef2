// The raw frame's geometry: the layout the camera sends a frame in, the size
// programmed into it, and the Bayer phase the output window gives.
#pragma once

#include "driver/wdk.h"

class DeviceContext;

// The raw frame: 1921 bytes per line after a 9921-byte lead, 9913 bytes
// beyond the lines in all, rounded up to whole 1024-byte units.
constexpr ULONG RawLinePitch = 1921;
constexpr ULONG RawDataOffset = 9921;
constexpr ULONG RawFrameOverhead = 9913;
constexpr ULONG RawFrameUnit = 1024;

ULONG RawFrameSizeFor(ULONG height);
// Lays out the raw frame for the current frame height in the context and
// sends the camera its size (Command0A, SetFrameSize); returns the Bayer
// phase of the frames that follow.
ULONG ProgramFrameGeometry(DeviceContext* context);
// The Bayer phase of the output window (first line and column, flips),
// recorded in the settings.
ULONG ComputeBayerPhase(DeviceContext* context);
