// The operations through which the capture worker reaches its device, in the
// order of their table slots.
#pragma once

#include "driver/wdk.h"

class DeviceOperations {
public:
    // Asks the streaming class to run the pin's Process routine.
    virtual VOID NotifyFrameReady() = 0;
    // Sends the frame geometry to the camera and lays out the raw frame;
    // returns the Bayer phase of the frames that follow.
    virtual ULONG ProgramFrameGeometry() = 0;
    virtual BOOLEAN ReadRawFrame(PUCHAR buffer, BOOLEAN* success) = 0;
    virtual VOID GetRawFrameSize(ULONG* size) = 0;
    virtual VOID GetRawDataOffset(ULONG* offset) = 0;
    virtual VOID GetRawLinePitch(LONG* pitch) = 0;
    virtual VOID CancelPendingReads() = 0;

protected:
    ~DeviceOperations() = default;
};
