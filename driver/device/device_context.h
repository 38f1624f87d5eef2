// The driver's record of one camera. Created zero-filled at device add, tied
// to the device's object bag and freed by the streaming class at removal.
#pragma once

#include "driver/wdk.h"
#include "driver/camera/camera_settings.h"
#include "driver/device/device_operations.h"
#include "driver/usb/usb_link.h"

struct CaptureWorker;
struct ImagePipeline;
struct PinContext;
struct tagKS_VIDEOINFOHEADER;

constexpr ULONG SensorRegisterCount = 1024;
constexpr LONG SensorWidth = 1600;
constexpr LONG SensorHeight = 1200;
// The output width is a whole number of these pixel groups: a Roi's width is
// cut down to one, and the pin's ranges declare it as their granularity.
constexpr LONG OutputWidthGranularity = 8;
static_assert((OutputWidthGranularity & (OutputWidthGranularity - 1)) == 0, "a power of two, cut with a mask");

class DeviceContext final : public DeviceOperations {
public:
    // Allocates a zero-filled context (ContextPoolTag); null when out of memory.
    static DeviceContext* Allocate(PKSDEVICE device);
    // Object bag callback: releases a context made by Allocate.
    static VOID NTAPI Free(PVOID context);

    VOID NotifyFrameReady() override;
    ULONG ProgramFrameGeometry() override;
    BOOLEAN ReadRawFrame(PUCHAR buffer, BOOLEAN* success) override;
    VOID GetRawFrameSize(ULONG* size) override;
    VOID GetRawDataOffset(ULONG* offset) override;
    VOID GetRawLinePitch(LONG* pitch) override;
    VOID CancelPendingReads() override;

    PKSDEVICE device;
    UsbLink link;
    CameraSettings settings;
    // Serialises what builds packets in registerCommand or reads and writes
    // the register shadow (register writes, trigger mode, the status query)
    // and the pipeline updates of property requests and the settings load,
    // so that concurrent requests cannot mix their packets. Taken at
    // PASSIVE_LEVEL; a fast mutex holds its owner at APC_LEVEL, where the
    // USB transfers may still be waited for, since they complete through
    // the driver's own completion routines and not through APCs. Frame
    // reads use their own buffers and do not take it.
    FAST_MUTEX commandLock;
    UCHAR registerCommand[64];  // packet being built for register writes and mode commands
    UCHAR frameCommand[64];     // the per-frame Command02 of ReadRawFrame
    UCHAR captureCommand[64];   // Command02/Command03 of SendCaptureCommand
    LONG volatile pipelineInUse;
    CaptureWorker* worker;
    ImagePipeline* pipeline;
    PinContext* pinContext;
    tagKS_VIDEOINFOHEADER* pinVideoInfo;  // format of the pin holding the pipeline (AcquirePipeline..ReleasePipeline)
    // The frame size and the delivered size: written under FrameGeometryLock
    // (capture_filter.cpp), and only while no pin is open (pinOpen, under
    // the same lock), so the streaming path reads them without it.
    ULONG frameHeight;
    LONG frameWidth;
    ULONG rawDataOffset;  // where the first image line starts in a raw frame
    LONG rawLinePitch;    // bytes from one raw line to the next
    ULONG rawFrameSize;
    LONG outputWidth;
    LONG outputHeight;
    LONG bayerPhaseBase;  // phase of the unflipped, unshifted sensor; the settings' bayerPhase starts from it
    LONG volatile pinOpen;
    // Set when a start has configured the camera and run its whole start-up
    // sequence, cleared by Stop. A pin may still run across a Stop and the
    // next Start; its frame reads wait for this, so that no read is
    // interleaved with the start-up commands and no frame is taken while
    // the sensor is half set up.
    LONG volatile cameraReady;
    // Set by the first start, which sends the firmware. A restart after a
    // stop finds the camera still powered and running it, so it does not
    // send it again; a device added anew (after a removal) sends it again.
    BOOLEAN firmwareSent;
    LONG sensorRegisters[SensorRegisterCount];

private:
    DeviceContext() = default;
};

inline VOID AcquireCommandLock(DeviceContext* context) { ExAcquireFastMutex(&context->commandLock); }
inline VOID ReleaseCommandLock(DeviceContext* context) { ExReleaseFastMutex(&context->commandLock); }

inline DeviceContext* DeviceContextOf(PKSDEVICE device) { return static_cast<DeviceContext*>(device->Context); }
