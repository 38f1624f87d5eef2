// The capture pin: its context, dispatch, format negotiation and the
// driver-wide data range it offers.
#pragma once

#include "driver/wdk.h"

class DeviceContext;

// What the capture worker may ask of the pin that holds the pipeline.
class PinCallbacks {
public:
    // Asks the streaming class to run the pin's Process routine (asynchronously).
    virtual VOID AttemptProcessing() = 0;

protected:
    ~PinCallbacks() = default;
};

enum PinRunState : LONG { PinNotStreaming = 0, PinPausedAfterRunning = 1, PinRunning = 2 };

// One per pin (ContextPoolTag), freed with the pin's object bag.
class PinContext final : public PinCallbacks {
public:
    // A zero-filled context for `pin` of `device`; null when out of memory.
    static PinContext* Allocate(PKSPIN pin, DeviceContext* device);
    // Object bag callback.
    static VOID NTAPI Free(PVOID context);

    VOID AttemptProcessing() override;

    PKSPIN pin;
    DeviceContext* device;
    LONG runState;                 // PinRunState
    PIKSREFERENCECLOCK clock;      // the graph's clock while acquired, or null
    KS_VIDEOINFOHEADER videoInfo;  // the connection format's video-info header
    BOOLEAN acquired;              // holds the pipeline and the clock
    ULONG outputStride;            // destination row stride; 0: outputWidth x 4

private:
    PinContext() = default;
};

inline PinContext* PinContextOf(PKSPIN pin) { return static_cast<PinContext*>(pin->Context); }

NTSTATUS NTAPI PinCreate(PKSPIN pin, PIRP irp);
NTSTATUS NTAPI PinClose(PKSPIN pin, PIRP irp);
NTSTATUS NTAPI PinProcess(PKSPIN pin);
NTSTATUS NTAPI PinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from);
NTSTATUS NTAPI PinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM oldAttributeList,
                                const KSDATARANGE* dataRange, const KSATTRIBUTE_LIST* attributeRange);
NTSTATUS NTAPI PinIntersect(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE callerRange, PKSDATARANGE matchingRange,
                            ULONG bufferSize, PVOID data, PULONG dataSize);

// The ImagePipeline of the device, held by one pin from acquire to stop.
NTSTATUS AcquirePipeline(DeviceContext* device, PinContext* pin, KS_VIDEOINFOHEADER* videoInfo);
VOID ReleasePipeline(DeviceContext* device);

// The 32-bit RGB video-info range the capture pin is declared with, and the
// rewrite of a filter's own copy of it (FilterContext::dataRange) for a
// delivered size of width x height. The declared record is never written.
extern const KS_DATARANGE_VIDEO CaptureDataRange;
VOID RewriteCaptureDataRange(KS_DATARANGE_VIDEO* filterRange, LONG width, LONG height);
// The configuration capabilities the range states for width x height.
VOID BuildConfigCaps(KS_VIDEO_STREAM_CONFIG_CAPS* caps, LONG width, LONG height);
// A connection format's bitmap fits a device delivering width x height: at
// least as wide (wider rows are padded), exactly as high, uncompressed.
BOOLEAN FormatFitsGeometry(const KS_BITMAPINFOHEADER& bitmap, LONG width, LONG height);
// Puts the rows' size into a checked format's biSizeImage where it is 0.
VOID SettleImageSize(KS_BITMAPINFOHEADER* bitmap);
// Sizes the pin's private allocator framing to frames of `imageSize` bytes.
VOID SetFramingImageSize(PKSPIN pin, ULONG imageSize);

extern const KSPIN_DESCRIPTOR_EX CapturePinDescriptors[1];
