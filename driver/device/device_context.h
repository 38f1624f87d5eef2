// The driver's record of one camera. Created zero-filled at device add, tied
// to the device's object bag and freed by the streaming class at removal.
#pragma once

#include "wdk.h"
#include "device/camera_settings.h"
#include "device/device_operations.h"
#include "usb/usb_link.h"

struct CaptureWorker;
struct ImagePipeline;
struct PinContext;
struct tagKS_VIDEOINFOHEADER;

constexpr ULONG SensorRegisterCount = 1024;
constexpr LONG SensorWidth = 1600;
constexpr LONG SensorHeight = 1200;

class DeviceContext final : public DeviceOperations {
public:
    // Allocates a zero-filled context (tag 'wNCK'); null when out of memory.
    static DeviceContext* Allocate(PKSDEVICE device);
    // Object bag callback: releases a context made by Allocate.
    static VOID Free(PVOID context);

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
    UCHAR registerCommand[64];  // packet being built for register writes and mode commands
    UCHAR frameCommand[64];     // the per-frame Command02 of ReadRawFrame
    UCHAR captureCommand[64];   // Command02/Command03 of SendCaptureCommand
    LONG volatile pipelineInUse;
    CaptureWorker* worker;
    ImagePipeline* pipeline;
    PinContext* pinContext;
    tagKS_VIDEOINFOHEADER* pinVideoInfo;
    ULONG frameHeight;
    LONG frameWidth;
    ULONG rawDataOffset;
    LONG rawLinePitch;
    ULONG rawFrameSize;
    LONG outputWidth;
    LONG outputHeight;
    LONG bayerPhaseBase;
    LONG volatile pinOpen;
    LONG sensorRegisters[SensorRegisterCount];

private:
    DeviceContext() = default;
};

inline DeviceContext* DeviceContextOf(PKSDEVICE device) { return static_cast<DeviceContext*>(device->Context); }
