// The raw frame layout for the current frame size, the size command sent to
// the camera, and the Bayer phase of the output window.
#include "driver/camera/frame_geometry.h"

#include "driver/camera/camera_commands.h"
#include "driver/device/device_context.h"

ULONG RawFrameSizeFor(ULONG height) {
    // The height comes from a property request and is not bounded on the way
    // here. Worked in 64 bits, an absurd height saturates at the largest whole
    // unit a ULONG holds instead of wrapping round to a small size that the
    // frame buffers would then be allocated with while the frame height stays
    // large; a buffer of the saturated size simply cannot be had.
    ULONGLONG size = static_cast<ULONGLONG>(height) * RawLinePitch + RawFrameOverhead;
    size = (size + RawFrameUnit - 1) / RawFrameUnit * RawFrameUnit;
    const ULONGLONG largest = 0xFFFFFFFFULL / RawFrameUnit * RawFrameUnit;
    return static_cast<ULONG>(size > largest ? largest : size);
}

ULONG ProgramFrameGeometry(DeviceContext* context) {
    context->rawLinePitch = static_cast<LONG>(RawLinePitch);
    context->rawDataOffset = RawDataOffset;
    context->rawFrameSize = RawFrameSizeFor(context->frameHeight);
    UCHAR packet[CommandPacketSize] = {};
    packet[0] = Command0A;
    packet[1] = 0;
    SendCameraCommand(context, packet);
    RtlZeroMemory(packet, sizeof packet);
    packet[0] = SetFrameSizeCode;
    for (int i = 0; i < 4; ++i) packet[1 + i] = static_cast<UCHAR>(context->rawFrameSize >> (8 * i));
    SendCameraCommand(context, packet);
    return ComputeBayerPhase(context);
}

ULONG ComputeBayerPhase(DeviceContext* context) {
    const CameraSettings& s = context->settings;
    ULONG phase = static_cast<ULONG>(context->bayerPhaseBase) & 3;
    // An odd first line, or a vertical flip of an even number of lines,
    // swaps the green-red and blue-green rows.
    if (s.roiY & 1) phase ^= 1;
    if (s.flipV && (s.roiHeight & 1) == 0) phase ^= 1;
    // A horizontal flip of an even number of columns swaps the columns.
    if (s.flipH && (s.roiWidth & 1) == 0) phase = (phase + 2) & 3;
    context->settings.bayerPhase = static_cast<LONG>(phase);
    return phase;
}
