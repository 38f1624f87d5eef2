// RawFrame: one frame as the camera sends it on the frame pipe, in a buffer
// of rawFrameSize bytes. Line i starts at byte RawDataOffset + i *
// RawLinePitch and holds frameWidth 8-bit Bayer samples; every other byte
// (the lead, the end of each line's pitch, the rounding to whole 1024-byte
// units) carries nothing the driver reads. ProgramFrameGeometry fixes the
// layout for the current frame size; for 1600 x 1200 a frame is 2315264
// bytes.
#pragma once

#include "driver/camera/frame_geometry.h"
#include "driver/device/pool_tags.h"

static_assert(RawDataOffset == 9921 && RawLinePitch == 1921, "the camera's raw line layout");

// First sample of line `line` of a raw frame.
inline const UCHAR* RawFrameLine(const UCHAR* frame, ULONG line) {
    return frame + RawDataOffset + static_cast<SIZE_T>(line) * RawLinePitch;
}

// A raw frame buffer of `size` bytes (FramePoolTag), or null.
inline PUCHAR AllocateRawFrame(ULONG size) {
    return size ? static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, size, FramePoolTag)) : nullptr;
}

inline VOID FreeRawFrame(PUCHAR frame) {
    if (frame) ExFreePoolWithTag(frame, FramePoolTag);
}
