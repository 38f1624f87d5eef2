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
    // Reports the result twice, returned and through `success`: callers of
    // the table use the flag, which is what the slot was laid out with.
    virtual BOOLEAN ReadRawFrame(PUCHAR buffer, BOOLEAN* success) = 0;
    // The getters answer through out-parameters, as the slots were laid out.
    virtual VOID GetRawFrameSize(ULONG* size) = 0;
    virtual VOID GetRawDataOffset(ULONG* offset) = 0;
    virtual VOID GetRawLinePitch(LONG* pitch) = 0;
    virtual VOID CancelPendingReads() = 0;

protected:
    ~DeviceOperations() = default;
};
